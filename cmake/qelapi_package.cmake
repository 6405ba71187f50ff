# The client library as a package: a shared library that exports only the
# names the public headers declare, install rules, a pkg-config file
# (qelapi.pc) and a CMake package (find_package(qelapi), qelapi::qelapi).
#
# Every header in qelapi/include is public: it is installed, compiles alone
# as C11 and as C++, declares its functions extern "C" and includes no
# internal header (tests/package checks each one). Records and codecs a
# program never touches belong in qelapi/common or qelapi/qelclient. A
# function declared in a public header is exported from the shared library
# without more ado.
#
# A program installs itself with one line in its own CMakeLists.txt:
#   ozu_install_program(<target>)

include(GNUInstallDirs)

file(GLOB QELAPI_PUBLIC_HEADERS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/qelapi/include/*.h)
# A header moved in keeps its old time: the list itself is a dependency of
# the version script, rewritten only when it changes.
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/qelapi_public_headers.txt
  CONTENT "${QELAPI_PUBLIC_HEADERS}\n")

# The static library is C++: a program linked by the C compiler (a C-only
# project, through add_subdirectory or FetchContent) needs the C++ runtime.
target_link_libraries(qelapi INTERFACE "$<$<LINK_LANGUAGE:C>:stdc++;m>")

set(QELAPI_MAP ${PROJECT_BINARY_DIR}/qelapi.map)
add_custom_command(OUTPUT ${QELAPI_MAP}
  COMMAND ${CMAKE_COMMAND} -DCC=${CMAKE_C_COMPILER}
          -DHEADER_DIR=${PROJECT_SOURCE_DIR}/qelapi/include -DOUTPUT=${QELAPI_MAP}
          -P ${CMAKE_CURRENT_LIST_DIR}/qelapi_exports.cmake
  DEPENDS ${QELAPI_PUBLIC_HEADERS} ${PROJECT_BINARY_DIR}/qelapi_public_headers.txt
          ${CMAKE_CURRENT_LIST_DIR}/qelapi_exports.cmake
          ${CMAKE_CURRENT_LIST_DIR}/qelapi_declarations.cmake
  COMMENT "Listing the public names of the shared library"
  VERBATIM)

# The version script is the target's one source: it has none to compile.
add_library(qelapi_shared SHARED ${QELAPI_MAP})
target_link_libraries(qelapi_shared PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,qelapi>")
target_include_directories(qelapi_shared INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/qelapi/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/qelapi>)
set_target_properties(qelapi_shared PROPERTIES
  OUTPUT_NAME qelapi
  EXPORT_NAME qelapi
  LINKER_LANGUAGE CXX
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR}
  LINK_DEPENDS ${QELAPI_MAP})
target_link_options(qelapi_shared PRIVATE "LINKER:--version-script=${QELAPI_MAP}")
# Every dependency must be named on the link, unless sanitizer or coverage
# runtimes come from the program that loads the library.
get_directory_property(_qelapi_opts COMPILE_OPTIONS)
if(NOT _qelapi_opts MATCHES "-fsanitize")
  target_link_options(qelapi_shared PRIVATE "LINKER:--no-undefined")
endif()
# The same name whether the library comes from find_package or from
# add_subdirectory / FetchContent.
add_library(qelapi::qelapi ALIAS qelapi_shared)

function(ozu_install_program target)
  if(OZU_INSTALL)
    install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endfunction()

if(OZU_INSTALL)
  include(CMakePackageConfigHelpers)
  set(_qelapi_cmakedir ${CMAKE_INSTALL_LIBDIR}/cmake/qelapi)
  install(TARGETS qelapi_shared EXPORT qelapiTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(TARGETS qelapi ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(FILES ${QELAPI_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qelapi)
  install(EXPORT qelapiTargets NAMESPACE qelapi:: DESTINATION ${_qelapi_cmakedir})
  configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/qelapiConfig.cmake.in
    ${PROJECT_BINARY_DIR}/qelapiConfig.cmake INSTALL_DESTINATION ${_qelapi_cmakedir})
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/qelapiConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/qelapiConfig.cmake
    ${PROJECT_BINARY_DIR}/qelapiConfigVersion.cmake DESTINATION ${_qelapi_cmakedir})

  # The .pc file finds its prefix from where it lies, so that
  # cmake --install --prefix can put the tree anywhere.
  if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
    message(FATAL_ERROR "qelapi.pc wants CMAKE_INSTALL_LIBDIR and CMAKE_INSTALL_INCLUDEDIR relative to the prefix")
  endif()
  file(RELATIVE_PATH QELAPI_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
  string(REGEX REPLACE "/$" "" QELAPI_PC_TO_PREFIX "${QELAPI_PC_TO_PREFIX}")
  configure_file(${CMAKE_CURRENT_LIST_DIR}/qelapi.pc.in ${PROJECT_BINARY_DIR}/qelapi.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/qelapi.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()
