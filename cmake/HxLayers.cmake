# The source folders are layers, each allowed to use only those below it:
#
#   platform <- throttling <- providers <- perfmonitor <- tools
#
# Sources include project headers as "folder/name.h". Each layer is an OBJECT
# library whose only project include directory is its own include root in the
# build tree, <build>/layers/<layer>, holding a link to each folder the layer
# may use and to nothing else. An #include of a folder above the layer is then
# "No such file" and the build fails. (The source root itself is never an
# include directory of a layer; a source file's own folder has no subfolders,
# so the compiler's look beside the including file finds nothing either.)
#
# hx_include_root(<name> <folder>...)
#   Makes the include root <build>/layers/<name> with a link to each folder and
#   sets HX_LAYER_ROOT_<name> to it.
function(hx_include_root name)
  set(root "${CMAKE_BINARY_DIR}/layers/${name}")
  # Links of an earlier configuration go (removing a link leaves its folder).
  file(GLOB old LIST_DIRECTORIES true "${root}/*")
  if(old)
    file(REMOVE ${old})
  endif()
  file(MAKE_DIRECTORY "${root}")
  foreach(folder IN LISTS ARGN)
    file(CREATE_LINK "${PROJECT_SOURCE_DIR}/${folder}" "${root}/${folder}" SYMBOLIC)
  endforeach()
  set(HX_LAYER_ROOT_${name} "${root}" PARENT_SCOPE)
endfunction()

# hx_layer(<name> FOLDERS <folder>... [SOURCES <file>...] [DEPENDS <layer>...])
#   Makes the include root of FOLDERS and the OBJECT library hx_<name> of
#   SOURCES (default: <name>/*.cc), built with the project's warnings, that
#   links the layers it DEPENDS on. Sets HX_LAYER_ROOT_<name>.
function(hx_layer name)
  cmake_parse_arguments(PARSE_ARGV 1 L "" "" "FOLDERS;SOURCES;DEPENDS")
  hx_include_root(${name} ${L_FOLDERS})
  set(root "${HX_LAYER_ROOT_${name}}")
  if(NOT L_SOURCES)
    file(GLOB L_SOURCES CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/${name}/*.cc")
  endif()
  add_library(hx_${name} OBJECT ${L_SOURCES})
  target_include_directories(hx_${name} PUBLIC "$<BUILD_INTERFACE:${root}>")
  target_compile_options(hx_${name} PRIVATE ${HX_WARNINGS})
  target_link_libraries(hx_${name} PUBLIC ${L_DEPENDS} Threads::Threads)
  set(HX_LAYER_ROOT_${name} "${root}" PARENT_SCOPE)
endfunction()
