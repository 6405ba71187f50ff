# Writes the shared library's version script: every name the public headers
# declare is global, everything else local.
#   cmake -DCC=<c compiler> -DHEADER_DIR=<dir> -DOUTPUT=<file> -P qelapi_exports.cmake
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/qelapi_declarations.cmake)
file(GLOB headers ${HEADER_DIR}/*.h)
qelapi_public_names(names "${CC}" ${headers})
if(NOT names)
  message(FATAL_ERROR "no public names found in ${HEADER_DIR}")
endif()
set(body "")
foreach(n IN LISTS names)
  string(APPEND body "    ${n};\n")
endforeach()
file(WRITE "${OUTPUT}" "/* Made from the public headers by cmake/qelapi_exports.cmake. */\n{\n  global:\n${body}  local:\n    *;\n};\n")
