# qelapi_public_names(<out-var> <compiler> <header>...)
#
# The names of the functions and variables that the given headers declare
# with external linkage, sorted: the headers are run through the C
# preprocessor (so comments, macros and the C++-only parts are gone) and
# the declarations at file scope of the headers themselves are read;
# typedefs, tag declarations and static or inline definitions are not
# names. Fails the script when the preprocessor fails.
function(qelapi_public_names out cc)
  set(headers ${ARGN})
  list(GET headers 0 first)
  get_filename_component(dir "${first}" DIRECTORY)
  set(args)
  foreach(h IN LISTS headers)
    list(APPEND args -include "${h}")
  endforeach()
  execute_process(COMMAND "${cc}" -E -std=c11 -x c ${args} /dev/null
    OUTPUT_VARIABLE pp ERROR_VARIABLE err RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "preprocessing the public headers failed:\n${err}")
  endif()

  # Keep what comes from the headers' own directory; semicolons and
  # brackets would confuse CMake's lists, so they are replaced first.
  string(REPLACE ";" "@SEMI@" pp "${pp}")
  string(REGEX REPLACE "\\[[^]\n]*\\]" "" pp "${pp}")
  string(REPLACE "\n" ";" lines "${pp}")
  set(text "")
  set(keep FALSE)
  foreach(line IN LISTS lines)
    if(line MATCHES "^# [0-9]+ \"([^\"]*)\"")
      get_filename_component(from "${CMAKE_MATCH_1}" DIRECTORY)
      if(from STREQUAL dir)
        set(keep TRUE)
      else()
        set(keep FALSE)
      endif()
    elseif(keep)
      string(APPEND text " ${line}")
    endif()
  endforeach()

  # Attributes go; a function body ends its statement; record and enum
  # bodies are dropped from the inside out.
  string(REGEX REPLACE "__attribute__ *\\(\\(([^()]|\\([^()]*\\))*\\)\\)" "" text "${text}")
  set(prev "")
  while(NOT text STREQUAL prev)
    set(prev "${text}")
    string(REGEX REPLACE "\\) *{[^{}]*}" ")@SEMI@" text "${text}")
    string(REGEX REPLACE "{[^{}]*}" "" text "${text}")
  endwhile()
  string(REPLACE "@SEMI@" ";" statements "${text}")

  set(names)
  foreach(st IN LISTS statements)
    string(STRIP "${st}" st)
    string(REGEX REPLACE "  +" " " st "${st}")
    if(st STREQUAL "" OR st MATCHES "^typedef " OR st MATCHES "(^| )(static|inline)( |$)")
      continue()
    endif()
    if(st MATCHES "^(struct|union|enum)( [A-Za-z_][A-Za-z0-9_]*)?$")
      continue()
    endif()
    if(st MATCHES "\\( *\\* *([A-Za-z_][A-Za-z0-9_]*) *[()]")
      # A pointer to a function, or a function that returns one.
      list(APPEND names "${CMAKE_MATCH_1}")
    elseif(st MATCHES "([A-Za-z_][A-Za-z0-9_]*) *\\(")
      list(APPEND names "${CMAKE_MATCH_1}")
    elseif(st MATCHES "([A-Za-z_][A-Za-z0-9_]*) *(=.*)?$")
      list(APPEND names "${CMAKE_MATCH_1}")
    endif()
  endforeach()
  list(REMOVE_DUPLICATES names)
  list(SORT names)
  set(${out} "${names}" PARENT_SCOPE)
endfunction()
