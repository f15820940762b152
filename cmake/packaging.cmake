# Installation of the systemd unit, the conf directory, the manual page, the examples and the
# package's documents, and the Debian packages: starter (the host), starter-dev (the library
# and headers) and starter-dbgsym (the host's debugging symbols).

set(STARTER_MAINTAINER "starter maintainers <maintainers@users.noreply.c-seed-bcd2277a.example>"
    CACHE STRING "Maintainer of the Debian packages, as NAME <ADDRESS>")
# The Debian version of the packages, as CPack writes it: the host's own version.
set(STARTER_DEB_VERSION "${STARTER_PACKAGE_VERSION}")
set(_pkg ${PROJECT_BINARY_DIR}/packaging)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
    GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The runtime package of ACE's network services ships only the versioned library file; the
# short name "netsvcs" resolves only with the development package. Installed configurations
# therefore name the file, with the version of the ACE this host is built against.
file(GLOB _examples RELATIVE ${PROJECT_SOURCE_DIR}/examples/conf.d
     ${PROJECT_SOURCE_DIR}/examples/conf.d/*.conf)
foreach(_f IN LISTS _examples)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               ${PROJECT_SOURCE_DIR}/examples/conf.d/${_f})
  file(READ ${PROJECT_SOURCE_DIR}/examples/conf.d/${_f} _text)
  string(REPLACE " netsvcs:" " libnetsvcs-${ACE_VERSION}.so:" _text "${_text}")
  file(CONFIGURE OUTPUT ${_pkg}/examples/conf.d/${_f} CONTENT "${_text}" @ONLY)
endforeach()
install(DIRECTORY ${_pkg}/examples/conf.d DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
configure_file(${PROJECT_SOURCE_DIR}/packaging/example.conf.in ${_pkg}/00-example.conf @ONLY)

# The unit names the installed binary, the conf directory and the host options' file, so it is
# written at install time, when the prefix (the package's /usr, or --prefix) is known; the conf
# directory, with its commented example, and the options' file go in place at the same time.
install(CODE "
  set(_prefix \"\${CMAKE_INSTALL_PREFIX}\")
  set(STARTER_INSTALLED_BINARY \"\${_prefix}/${CMAKE_INSTALL_BINDIR}/starter\")
  set(STARTER_INSTALLED_CTL \"\${_prefix}/${CMAKE_INSTALL_BINDIR}/starterctl\")
  if(_prefix STREQUAL \"/usr\")
    set(_etc /etc)
  else()
    set(_etc \"\${_prefix}/etc\")
  endif()
  set(STARTER_INSTALLED_CONF_DIR \"\${_etc}/starter/conf.d\")
  set(STARTER_INSTALLED_DEFAULTS \"\${_etc}/default/starter\")
  configure_file(\"${PROJECT_SOURCE_DIR}/examples/starter.service.in\"
                 \"\$ENV{DESTDIR}\${_prefix}/lib/systemd/system/starter.service\" @ONLY)
  message(STATUS \"Installing: \$ENV{DESTDIR}\${_prefix}/lib/systemd/system/starter.service\")
  file(INSTALL \"${PROJECT_SOURCE_DIR}/packaging/default\" DESTINATION \"\${_etc}/default\"
       RENAME starter FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  file(INSTALL \"${_pkg}/00-example.conf\" DESTINATION \"\${STARTER_INSTALLED_CONF_DIR}\"
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
       DIR_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                       WORLD_READ WORLD_EXECUTE)
")
# The unit's user.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/sysusers.conf DESTINATION lib/sysusers.d
        RENAME starter.conf)

# The manual page: its options are what the built host's --help prints.
add_custom_command(
  OUTPUT ${_pkg}/starter.8 ${_pkg}/starter.8.gz
  COMMAND ${CMAKE_COMMAND} -DSTARTER=$<TARGET_FILE:starter>
          -DTEMPLATE=${PROJECT_SOURCE_DIR}/packaging/starter.8.in -DOUTPUT=${_pkg}/starter.8
          -DSTARTER_DEB_VERSION=${STARTER_DEB_VERSION} -DACE_VERSION=${ACE_VERSION}
          -P ${PROJECT_SOURCE_DIR}/cmake/manpage.cmake
  DEPENDS starter ${PROJECT_SOURCE_DIR}/packaging/starter.8.in
          ${PROJECT_SOURCE_DIR}/cmake/manpage.cmake
  VERBATIM)
# The Debian changelog, compressed as Debian ships it.
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${_pkg}/changelog.Debian @ONLY)
add_custom_command(
  OUTPUT ${_pkg}/changelog.Debian.gz
  COMMAND gzip -9nkf ${_pkg}/changelog.Debian
  DEPENDS ${_pkg}/changelog.Debian
  VERBATIM)
# starterctl(8) is written by hand, the version filled in; compressed the same way.
configure_file(${PROJECT_SOURCE_DIR}/packaging/starterctl.8 ${_pkg}/starterctl.8 @ONLY)
add_custom_command(
  OUTPUT ${_pkg}/starterctl.8.gz
  COMMAND sh -c "gzip -9nc ${_pkg}/starterctl.8 >${_pkg}/starterctl.8.gz"
  DEPENDS ${_pkg}/starterctl.8
  VERBATIM)
add_custom_target(package_files ALL DEPENDS ${_pkg}/starter.8.gz ${_pkg}/starterctl.8.gz
                                            ${_pkg}/changelog.Debian.gz)
install(FILES ${_pkg}/starter.8.gz ${_pkg}/starterctl.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
foreach(_component runtime dev)
  if(_component STREQUAL "runtime")
    set(_doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/starter)
  else()
    set(_doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/starter-dev)
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${_pkg}/changelog.Debian.gz
          DESTINATION ${_doc} COMPONENT ${_component})
endforeach()
# The packages are built outside Debian's archive, so there is no bug asking for them to close.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME starter)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides-dev
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME starter-dev
        COMPONENT dev)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME starter)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${STARTER_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${STARTER_RELEASE})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)

# The host. Library dependencies (ACE, libc) are read off the binary, which is stripped, its
# symbols going to starter-dbgsym; libcap2 is opened when capabilities are asked for, so the
# binary does not name it and it is added here.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME starter)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libcap2")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_RUNTIME_DEBUGINFO_PACKAGE ON)
# The versioned ACE network services library is what the conf directory's example names;
# the client library of systemd is loaded at run time for readiness and the watchdog.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_RECOMMENDS "libsystemd0, libnetsvcs-${ACE_VERSION}")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/conffiles ${PROJECT_SOURCE_DIR}/packaging/postinst
    ${PROJECT_SOURCE_DIR}/packaging/prerm ${PROJECT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
    "long-running host for ACE services, with systemd notification
starter loads the ACE services named in Service Configurator files (a conf
directory, /etc/starter/conf.d, under systemd), runs them on an ACE reactor,
reloads them on SIGHUP after checking the configuration, and stops them
cleanly. Under systemd it reports readiness and status and feeds the
watchdog; the unit runs it as the system user starter, without capabilities.")

# The runtime support library and the headers of the host's configuration helpers.
set(CPACK_DEBIAN_DEV_PACKAGE_NAME starter-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libace-dev, libboost-dev")
set(CPACK_DEBIAN_DEV_DESCRIPTION
    "development files of the ACE service host starter
The static library scrt (reactor creation by name, strict numeric parsing,
string builders, locked environment access, close-on-exec opens, recursive
mkdir, path configuration) and its headers, and the header of the host's
Service Configurator helpers, for services built to run in starter.")
include(CPack)
