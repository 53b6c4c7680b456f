# cmake -DCXX=<compiler> -DSOURCE_DIR=<dir> -DWORK_DIR=<dir>
#       -DLAYERS=<layer>,<layer>... -DINCLUDES_<layer>=<dir>|<dir>... -P check_layers.cmake
# Preprocesses, with each layer's own include directories, an #include of a
# header of every layer: it must succeed for the layer's own folder and those
# below it, and fail with "No such file" for every folder above it (and for the
# tests' folder, which no layer may use).
string(REPLACE "," ";" layers "${LAYERS}")
set(folders ${layers} tests/common)
file(MAKE_DIRECTORY "${WORK_DIR}")
set(bad "")
foreach(layer IN LISTS layers)
  list(FIND layers ${layer} rank)
  string(REPLACE "|" ";" dirs "${INCLUDES_${layer}}")
  list(TRANSFORM dirs PREPEND "-I")
  foreach(folder IN LISTS folders)
    file(GLOB headers RELATIVE "${SOURCE_DIR}" "${SOURCE_DIR}/${folder}/*.h")
    list(SORT headers)
    list(GET headers 0 header)
    file(WRITE "${WORK_DIR}/${layer}.cc" "#include \"${header}\"\n")
    execute_process(COMMAND "${CXX}" -std=c++17 -E ${dirs} "${WORK_DIR}/${layer}.cc" -o /dev/null
                    RESULT_VARIABLE failed ERROR_VARIABLE err)
    list(FIND layers ${folder} above)
    if(above EQUAL -1 OR above GREATER rank)
      if(NOT failed OR NOT err MATCHES "No such file|not found")
        string(APPEND bad "  ${layer} can include ${header}\n")
      endif()
    elseif(failed)
      string(APPEND bad "  ${layer} cannot include ${header}:\n${err}\n")
    endif()
  endforeach()
endforeach()
if(bad)
  message(FATAL_ERROR "layer include check failed:\n${bad}")
endif()
