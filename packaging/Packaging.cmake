# Installation and the Debian package. Two components:
#   extension         the extension host, the push connector, the desktop module they
#                     load when asked for a desktop backend, their D-Bus activation
#                     files, the installed bundle, the desktop entry and man pages;
#   delivery-service  the reference delivery service, for trying the system locally.
# The installed programs read <prefix>/share/tamsel-notification-service/defaults.json,
# so that D-Bus activation works with no flags: desktop backends and the installed bundle.
include(GNUInstallDirs)

set(TAMSEL_APP_ID "com.brindaxel.tamsel" CACHE STRING "Application id: D-Bus name, desktop entry")
set(TAMSEL_API_BASE_URL "https://tamsel.invalid" CACHE STRING "The installed bundle's TAMSEL_API_BASE_URL")
set(TAMSEL_DATA_SUBDIR "${CMAKE_INSTALL_DATADIR}/tamsel-notification-service")

# Where D-Bus and systemd look, as their pkg-config files say, made relative to
# their prefix so that an install under any prefix (or DESTDIR) lands beside it.
function(tamsel_pkg_dir out module variable fallback)
  execute_process(COMMAND ${PKG_CONFIG_EXECUTABLE} --define-variable=prefix=/PREFIX
                          --variable=${variable} ${module}
                  OUTPUT_VARIABLE dir OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc ERROR_QUIET)
  if(rc EQUAL 0 AND dir MATCHES "^/PREFIX/(.+)$")
    set(${out} "${CMAKE_MATCH_1}" PARENT_SCOPE)
  else()
    message(STATUS "pkg-config ${module} gives no ${variable}: installing to ${fallback}")
    set(${out} "${fallback}" PARENT_SCOPE)
  endif()
endfunction()
tamsel_pkg_dir(TAMSEL_DBUS_SERVICES_DIR dbus-1 session_bus_services_dir "share/dbus-1/services")
tamsel_pkg_dir(TAMSEL_SYSTEMD_USER_DIR systemd systemduserunitdir "lib/systemd/user")

install(TARGETS tamsel-notification-service RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT extension)
if(TARGET tamsel-push-connector)
  install(TARGETS tamsel-push-connector RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT extension)
endif()
if(TARGET tamsel-desktop)
  # Found by the programs as <bindir>/../${TAMSEL_MODULE_SUBDIR} (host/HostDesktop.cpp).
  install(TARGETS tamsel-desktop LIBRARY DESTINATION ${TAMSEL_MODULE_SUBDIR} COMPONENT extension)
endif()
if(TARGET tamsel-delivery-service)
  install(TARGETS tamsel-delivery-service RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
          COMPONENT delivery-service)
endif()

configure_file(${CMAKE_CURRENT_LIST_DIR}/Info.plist.in ${CMAKE_BINARY_DIR}/packaging/bundle/Info.plist @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/bundle/Info.plist
        DESTINATION ${TAMSEL_DATA_SUBDIR}/bundle COMPONENT extension)
configure_file(${CMAKE_CURRENT_LIST_DIR}/app.desktop.in
               ${CMAKE_BINARY_DIR}/packaging/${TAMSEL_APP_ID}.desktop @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/${TAMSEL_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT extension)

# Files that name installed paths are written at install time, so that
# `cmake --install --prefix P` gives files that point into P.
install(CODE "
  set(app \"${TAMSEL_APP_ID}\")
  set(bindir \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  set(datadir \"\${CMAKE_INSTALL_PREFIX}/${TAMSEL_DATA_SUBDIR}\")
  foreach(pair \"dbus-service.in|${TAMSEL_DBUS_SERVICES_DIR}/${TAMSEL_APP_ID}.service\"
               \"systemd-user.service.in|${TAMSEL_SYSTEMD_USER_DIR}/tamsel-push-connector.service\"
               \"defaults.json.in|${TAMSEL_DATA_SUBDIR}/defaults.json\")
    string(REPLACE \"|\" \";\" pair \"\${pair}\")
    list(GET pair 0 template)
    list(GET pair 1 destination)
    set(target \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${destination}\")
    message(STATUS \"Installing: \${target}\")
    configure_file(\"${CMAKE_CURRENT_LIST_DIR}/\${template}\" \"\${target}\" @ONLY)
  endforeach()
" COMPONENT extension)

# Man pages from each program's --help and --version.
find_program(HELP2MAN help2man)
if(HELP2MAN)
  set(pages)
  foreach(program tamsel-notification-service tamsel-push-connector tamsel-delivery-service)
    if(NOT TARGET ${program})
      continue()
    endif()
    set(page ${CMAKE_BINARY_DIR}/man/${program}.1)
    add_custom_command(OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${HELP2MAN} --no-info --no-discard-stderr --output=${page} $<TARGET_FILE:${program}>
      DEPENDS ${program} VERBATIM)
    list(APPEND pages ${page})
    set(component extension)
    if(program STREQUAL "tamsel-delivery-service")
      set(component delivery-service)
    endif()
    install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
  endforeach()
  add_custom_target(man-pages ALL DEPENDS ${pages})
else()
  message(STATUS "help2man not found: no man pages")
endif()

set(CPACK_PACKAGE_NAME "tamsel-notification-service")
set(CPACK_PACKAGE_VENDOR "Brindaxel")
set(CPACK_PACKAGE_CONTACT "Tamsel developers <tamsel@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Notification service extension of the Tamsel messaging application")
set(CPACK_GENERATOR "DEB")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL extension delivery-service)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_EXTENSION_PACKAGE_NAME "tamsel-notification-service")
set(CPACK_DEBIAN_EXTENSION_PACKAGE_RECOMMENDS "dbus-user-session")
# The host loads libplist by name while it reads its bundle instead of linking it,
# so dpkg-shlibdeps cannot see it: name the package that has it.
get_filename_component(plist_directory "${TAMSEL_PLIST_LIBRARY}" DIRECTORY)
execute_process(COMMAND dpkg-query --search "${plist_directory}/${TAMSEL_PLIST_SONAME}"
  OUTPUT_VARIABLE plist_owner RESULT_VARIABLE plist_status ERROR_QUIET)
if(plist_status EQUAL 0 AND plist_owner MATCHES "^([^:,]+)")
  set(CPACK_DEBIAN_EXTENSION_PACKAGE_DEPENDS "${CMAKE_MATCH_1} (>= ${PLIST_VERSION})")
else()
  message(WARNING "no Debian package has ${TAMSEL_PLIST_SONAME}: the package will not depend on it")
endif()
set(CPACK_DEBIAN_DELIVERY-SERVICE_PACKAGE_NAME "tamsel-delivery-service")
set(CPACK_COMPONENT_EXTENSION_DESCRIPTION "The extension host and the UnifiedPush connector")
set(CPACK_COMPONENT_DELIVERY-SERVICE_DESCRIPTION "The reference delivery service, for local use")
include(CPack)
