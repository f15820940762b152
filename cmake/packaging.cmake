# Installation of the example configuration and the systemd unit, and the Debian package.

# Examples go where Debian keeps a package's examples; the unit where systemd looks for units
# shipped by packages. Both follow the install prefix.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/conf.d
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
# The unit names the installed binary, so it is written at install time, when the prefix
# (the package's /usr, or --prefix) is known.
install(CODE "
  set(_prefix \"\${CMAKE_INSTALL_PREFIX}\")
  set(STARTER_INSTALLED_BINARY \"\${_prefix}/${CMAKE_INSTALL_BINDIR}/starter\")
  if(_prefix STREQUAL \"/usr\")
    set(STARTER_INSTALLED_CONF_DIR /etc/starter/conf.d)
  else()
    set(STARTER_INSTALLED_CONF_DIR \"\${_prefix}/etc/starter/conf.d\")
  endif()
  configure_file(\"${PROJECT_SOURCE_DIR}/examples/starter.service.in\"
                 \"\$ENV{DESTDIR}\${_prefix}/lib/systemd/system/starter.service\" @ONLY)
  message(STATUS \"Installing: \$ENV{DESTDIR}\${_prefix}/lib/systemd/system/starter.service\")
")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME starter)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "starter developers <starter@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Long-running host for ACE services, with systemd notification")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${STARTER_RELEASE})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
# Library dependencies (ACE, libcap2) are read off the binary; the rest is declared.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The examples load ACE's network services; the library's headers need ACE's and Boost's.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libsystemd0, libnetsvcs-7.0.8")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libace-dev, libboost-dev")
include(CPack)
