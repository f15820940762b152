# The package version, as dpkg shows it (VERSION-RELEASE, 1.0.1-1), and the seven-digit source
# revision, fixed at configure time. The banner, --version, starterctl and the packages all
# take this one version.
set(STARTER_PACKAGE_VERSION "${PROJECT_VERSION}-${STARTER_RELEASE}")

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
