# Debian packages (cpack -G DEB), one set per ABI build:
#   libhxsys1      the shared objects (Multi-Arch: same, co-installable)
#   libhxsys-dev   headers, CMake and pkg-config files, .so links
#   hxctl          the operator tool and its man page
#   hxfleet        the fleet agent, its systemd unit and man page (64-bit builds only)
# The Architecture follows the build's ABI (i386 for the -m32 build).

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME libhxsys)
set(CPACK_PACKAGE_VENDOR "Halvex")
set(CPACK_PACKAGE_CONTACT "Halvex developers <hxsys@localhost>")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL runtime dev tool)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

if(CMAKE_LIBRARY_ARCHITECTURE STREQUAL "i386-linux-gnu")
  set(HX_DEB_ARCH i386)
elseif(CMAKE_LIBRARY_ARCHITECTURE STREQUAL "x86_64-linux-gnu")
  set(HX_DEB_ARCH amd64)
else()
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE HX_DEB_ARCH
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "${HX_DEB_ARCH}")

# Library dependencies (libc6, libstdc++6, ...) come from dpkg-shlibdeps; our
# own libraries are found in the build tree and stated as package dependencies.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${CMAKE_LIBRARY_OUTPUT_DIRECTORY}")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_SECTION libs)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME "libhxsys${PROJECT_VERSION_MAJOR}")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "Halvex throttling and resource monitor library
Shared throttle tables in System V shared memory and the system resource
monitor, with the platform services library they use.")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME "libhxsys-dev")
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_DEBIAN_DEV_DESCRIPTION "Halvex throttling and resource monitor library (development files)
Headers, the CMake package Halvex and the pkg-config files hxsys and hxplatform.")
set(CPACK_DEBIAN_TOOL_PACKAGE_NAME "hxctl")
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION admin)
set(CPACK_COMPONENT_TOOL_DEPENDS runtime)
set(CPACK_DEBIAN_TOOL_DESCRIPTION "Halvex throttling operator tool
Shows and changes live throttle tables, runs the resource monitor once and
demonstrates the whole system on a private instance.")

if(TARGET hxfleet)
  list(APPEND CPACK_COMPONENTS_ALL fleet)
  set(CPACK_DEBIAN_FLEET_PACKAGE_NAME "hxfleet")
  set(CPACK_DEBIAN_FLEET_PACKAGE_SECTION admin)
  set(CPACK_COMPONENT_FLEET_DEPENDS runtime)
  set(CPACK_DEBIAN_FLEET_DESCRIPTION "Halvex fleet agent: machines share one bandwidth budget
Divides a site's budget between machines by demand and weight through etcd
and applies each machine's share to its throttle tables (systemd unit hxfleet).")
endif()

# CPack has no Multi-Arch setting: the script adds the field to the finished
# runtime and dev packages (their files differ per ABI only under lib/<multiarch>).
set(CPACK_POST_BUILD_SCRIPTS "${CMAKE_CURRENT_LIST_DIR}/HxDebMultiArch.cmake")
set(CPACK_HX_DEB_MULTIARCH_SAME "libhxsys${PROJECT_VERSION_MAJOR};libhxsys-dev")

include(CPack)
