# Install rules: libraries (versioned, multiarch lib directory), the public
# headers under include/halvex, the CMake package "Halvex", pkg-config files,
# hxctl and hxfleet with their man pages. Components: runtime (shared objects),
# dev (headers, package files, .so links), tool (hxctl), fleet (hxfleet). Every
# destination is relative, so nothing is written outside the install prefix
# (or DESTDIR).

# Debian multiarch library directory for every prefix, not only /usr: the
# i386 and x86-64 installs can then share one prefix, and consumers find the
# matching ABI by its CMAKE_LIBRARY_ARCHITECTURE or PKG_CONFIG_PATH. A plain
# "lib" in the cache is GNUInstallDirs' own default (a build tree configured
# before this rule, or a subproject that included it first) and is replaced.
if(CMAKE_LIBRARY_ARCHITECTURE AND
   (NOT DEFINED CACHE{CMAKE_INSTALL_LIBDIR} OR "$CACHE{CMAKE_INSTALL_LIBDIR}" STREQUAL "lib"))
  set(CMAKE_INSTALL_LIBDIR "lib/${CMAKE_LIBRARY_ARCHITECTURE}" CACHE PATH
      "Object code libraries (lib/<multiarch>)" FORCE)
endif()
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)
include(${CMAKE_CURRENT_LIST_DIR}/HxPublicHeaders.cmake)

set(HX_INSTALL_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}/halvex")
set(HX_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/Halvex")
set(HX_INSTALL_PCDIR "${CMAKE_INSTALL_LIBDIR}/pkgconfig")

foreach(header IN LISTS HX_PUBLIC_HEADERS)
  get_filename_component(dir "${header}" DIRECTORY)
  install(FILES "${header}" DESTINATION "${HX_INSTALL_INCLUDEDIR}/${dir}" COMPONENT dev)
endforeach()

# Consumers see the same include layout ("throttling/...", "platform/...") and
# the 64-bit file offsets the libraries are built with (struct stat and off_t
# appear in interfaces).
foreach(lib hxplatform hxsys)
  target_include_directories(${lib} INTERFACE $<INSTALL_INTERFACE:${HX_INSTALL_INCLUDEDIR}>)
  target_compile_definitions(${lib} INTERFACE $<INSTALL_INTERFACE:_FILE_OFFSET_BITS=64>)
  # $ORIGIN: libhxsys finds libhxplatform beside it in any prefix.
  set_target_properties(${lib} PROPERTIES INSTALL_RPATH "$ORIGIN")
endforeach()

install(TARGETS hxplatform hxsys EXPORT HalvexTargets
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT runtime NAMELINK_COMPONENT dev)
install(EXPORT HalvexTargets NAMESPACE Halvex:: DESTINATION "${HX_INSTALL_CMAKEDIR}"
  COMPONENT dev)
configure_package_config_file(cmake/HalvexConfig.cmake.in
  "${CMAKE_BINARY_DIR}/HalvexConfig.cmake" INSTALL_DESTINATION "${HX_INSTALL_CMAKEDIR}")
write_basic_package_version_file("${CMAKE_BINARY_DIR}/HalvexConfigVersion.cmake"
  COMPATIBILITY SameMajorVersion)
install(FILES "${CMAKE_BINARY_DIR}/HalvexConfig.cmake" "${CMAKE_BINARY_DIR}/HalvexConfigVersion.cmake"
  DESTINATION "${HX_INSTALL_CMAKEDIR}" COMPONENT dev)

file(RELATIVE_PATH HX_PC_TO_PREFIX "/prefix/${HX_INSTALL_PCDIR}" "/prefix")
string(REGEX REPLACE "/$" "" HX_PC_TO_PREFIX "${HX_PC_TO_PREFIX}")
set(HX_PC_NAME hxplatform)
set(HX_PC_DESCRIPTION "Halvex platform services for the throttling and resource monitor library")
set(HX_PC_REQUIRES "")
configure_file(cmake/hx.pc.in "${CMAKE_BINARY_DIR}/pkgconfig/hxplatform.pc" @ONLY)
set(HX_PC_NAME hxsys)
set(HX_PC_DESCRIPTION "Halvex throttling and resource monitor library")
set(HX_PC_REQUIRES "hxplatform = ${PROJECT_VERSION}")
configure_file(cmake/hx.pc.in "${CMAKE_BINARY_DIR}/pkgconfig/hxsys.pc" @ONLY)
install(FILES "${CMAKE_BINARY_DIR}/pkgconfig/hxplatform.pc" "${CMAKE_BINARY_DIR}/pkgconfig/hxsys.pc"
  DESTINATION "${HX_INSTALL_PCDIR}" COMPONENT dev)

# Installs doc/PROGRAM.1 with PROGRAM's package COMPONENT. Man pages ship
# compressed (gzip -n: no name or time stamp, so the same page gives the same
# bytes in every build).
function(hx_install_man_page program component)
  set(page "${CMAKE_BINARY_DIR}/${program}.1.gz")
  add_custom_command(OUTPUT "${page}"
    COMMAND gzip -9nc "${PROJECT_SOURCE_DIR}/doc/${program}.1" > "${page}"
    DEPENDS doc/${program}.1 VERBATIM)
  add_custom_target(${program}_man DEPENDS "${page}")
  add_dependencies(${program} ${program}_man)
  install(FILES "${page}" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT ${component})
endfunction()

if(TARGET hxctl)
  file(RELATIVE_PATH bin_to_lib "/prefix/${CMAKE_INSTALL_BINDIR}" "/prefix/${CMAKE_INSTALL_LIBDIR}")
  set_target_properties(hxctl PROPERTIES INSTALL_RPATH "$ORIGIN/${bin_to_lib}")
  install(TARGETS hxctl RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT tool)
  hx_install_man_page(hxctl tool)
endif()

# The fleet agent (64-bit builds only), its systemd unit and its man page.
if(TARGET hxfleet)
  set_target_properties(hxfleet PROPERTIES INSTALL_RPATH "$ORIGIN/${bin_to_lib}")
  install(TARGETS hxfleet RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT fleet)
  install(FILES fleet/hxfleet.service DESTINATION lib/systemd/system COMPONENT fleet)
  hx_install_man_page(hxfleet fleet)
endif()
