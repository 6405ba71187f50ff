# Every public header compiles alone as C11, as C++11 and as C++20, with
# warnings as errors and nothing on the include path but the public
# headers' own directory (an internal header is not found there). Then
# every function and variable they declare is referenced from C++: the
# object must name them all unmangled, which holds only when each is
# declared extern "C".
#   cmake -DCC=.. -DCXX=.. -DNM=.. -DHEADER_DIR=.. -DWORK_DIR=.. -P check_public_headers.cmake
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/qelapi_declarations.cmake)

file(GLOB headers ${HEADER_DIR}/*.h)
if(NOT headers)
  message(FATAL_ERROR "no headers in ${HEADER_DIR}")
endif()
set(failed "")
set(modes "C11|${CC}|c|-std=c11" "C++11|${CXX}|c++|-std=c++11" "C++20|${CXX}|c++|-std=c++20")
foreach(h IN LISTS headers)
  get_filename_component(name "${h}" NAME)
  foreach(mode IN LISTS modes)
    string(REPLACE "|" ";" m "${mode}")
    list(GET m 0 label)
    list(GET m 1 compiler)
    list(GET m 2 lang)
    list(GET m 3 std)
    execute_process(
      COMMAND "${compiler}" -x ${lang} ${std} -fsyntax-only -Wall -Wextra -Werror -pedantic-errors
              -I${HEADER_DIR} -include ${h} /dev/null
      RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT rc EQUAL 0)
      message(SEND_ERROR "${name} alone does not compile as ${label}:\n${out}")
      list(APPEND failed "${name} (${label})")
    endif()
  endforeach()
endforeach()
if(failed)
  message(FATAL_ERROR "public headers that do not stand alone: ${failed}")
endif()

file(MAKE_DIRECTORY "${WORK_DIR}")

# Type names a C program uses and that must name the same types: a pointer
# to one given where the other is expected is an error in strict C11.
set(aliases "quor_AttrBits_t|quor_fileattrbits_t")
set(src "#include \"quor_api.h\"\n")
set(i 0)
foreach(pair IN LISTS aliases)
  string(REPLACE "|" ";" p "${pair}")
  list(GET p 0 alias)
  list(GET p 1 type)
  string(APPEND src "${alias} alias_${i} = 0;\n${type}* same_${i} = &alias_${i};\n")
  math(EXPR i "${i} + 1")
endforeach()
file(WRITE "${WORK_DIR}/aliases.c" "${src}")
execute_process(
  COMMAND "${CC}" -std=c11 -fsyntax-only -Wall -Wextra -Werror -pedantic-errors -I${HEADER_DIR}
          "${WORK_DIR}/aliases.c"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "type names missing from the public headers or naming other types:\n${out}")
endif()

qelapi_public_names(names "${CC}" ${headers})
set(src "")
foreach(h IN LISTS headers)
  string(APPEND src "#include \"${h}\"\n")
endforeach()
string(APPEND src "extern const void* const public_refs[];\nconst void* const public_refs[] = {\n")
foreach(n IN LISTS names)
  string(APPEND src "  (const void*)&${n},\n")
endforeach()
string(APPEND src "  nullptr};\n")
file(WRITE "${WORK_DIR}/public_refs.cpp" "${src}")
execute_process(
  COMMAND "${CXX}" -std=c++20 -c -I${HEADER_DIR} -o "${WORK_DIR}/public_refs.o"
          "${WORK_DIR}/public_refs.cpp"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "referencing the public names from C++ failed:\n${out}")
endif()
execute_process(COMMAND "${NM}" -u -C "${WORK_DIR}/public_refs.o"
  RESULT_VARIABLE rc OUTPUT_VARIABLE undefined)
execute_process(COMMAND "${NM}" -u "${WORK_DIR}/public_refs.o" OUTPUT_VARIABLE raw)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${WORK_DIR}/public_refs.o")
endif()
if(raw MATCHES "_Z")
  string(REGEX MATCHALL "[^\n]*\\([^\n]*" cxx "${undefined}")
  string(REPLACE ";" "\n" cxx "${cxx}")
  message(FATAL_ERROR "declared without extern \"C\" (C++ names):\n${cxx}")
endif()
list(LENGTH names count)
message(STATUS "${count} public names, all with C linkage")
