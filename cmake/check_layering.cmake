cmake_minimum_required(VERSION 3.25)
# cmake -DSOURCE_DIR=<root> -P check_layering.cmake
#
# Fails when a folder of src/ includes a header of a folder above it: details includes
# only itself; crypto and winhttp only details and themselves; model those and itself;
# gui anything.
set(allowed_details details)
set(allowed_winhttp details winhttp)
set(allowed_crypto details crypto)
set(allowed_model details winhttp crypto model)
set(violations "")
foreach(area details winhttp crypto model)
  file(GLOB_RECURSE files "${SOURCE_DIR}/src/${area}/*.h" "${SOURCE_DIR}/src/${area}/*.cpp")
  foreach(file IN LISTS files)
    file(STRINGS "${file}" lines REGEX "^[ \t]*#[ \t]*include[ \t]+\"[a-z_]+/")
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]+\"([a-z_]+)/.*" "\\1" folder "${line}")
      if(NOT folder IN_LIST allowed_${area})
        file(RELATIVE_PATH name "${SOURCE_DIR}" "${file}")
        string(APPEND violations "\n  ${name}: ${line}")
      endif()
    endforeach()
  endforeach()
endforeach()
if(violations)
  message(FATAL_ERROR "A lower folder includes a higher one:${violations}")
endif()
