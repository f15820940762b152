# Package version (N.N.NNNNN-N) and seven-digit source revision, fixed at configure time.
string(REGEX REPLACE "^0*([0-9])" "\\1" _starter_patch "${PROJECT_VERSION_PATCH}")
math(EXPR _starter_patch "${_starter_patch}" OUTPUT_FORMAT DECIMAL)
string(LENGTH "${_starter_patch}" _len)
set(_pad "")
if(_len LESS 5)
  math(EXPR _n "5 - ${_len}")
  string(REPEAT "0" ${_n} _pad)
endif()
set(STARTER_PACKAGE_VERSION
    "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${_pad}${_starter_patch}-${STARTER_RELEASE}")

set(STARTER_REVISION "0000000")
find_package(Git QUIET)
if(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --short=7 HEAD
                  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                  OUTPUT_VARIABLE _rev OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE _rc ERROR_QUIET)
  if(_rc EQUAL 0 AND _rev MATCHES "^[0-9a-f]+$")
    string(SUBSTRING "${_rev}" 0 7 STARTER_REVISION)
  endif()
endif()
message(STATUS "starter package version ${STARTER_PACKAGE_VERSION}, revision ${STARTER_REVISION}")
configure_file(${PROJECT_SOURCE_DIR}/starter/version.h.in ${PROJECT_BINARY_DIR}/generated/starter/version.h @ONLY)
