# What a machine needs beside the program: the system and user units, the service's user and
# state folder, the manual page; and the Debian packages, which CPack builds from these same
# install rules (component "server": tindravoller; "window": tindravoller-window on top).
set(tv_packaging ${CMAKE_BINARY_DIR}/packaging)
set(TV_PROGRAM_PATH ${CMAKE_INSTALL_FULL_BINDIR}/tindravoller)
configure_file(${CMAKE_CURRENT_LIST_DIR}/tindravoller.service.in
               ${tv_packaging}/system/tindravoller.service @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/tindravoller-user.service.in
               ${tv_packaging}/user/tindravoller.service @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in ${tv_packaging}/changelog @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/conffiles.in ${tv_packaging}/conffiles @ONLY)

# systemd reads units, users and tmpfiles from <prefix>/lib for /usr and /usr/local alike.
install(FILES ${tv_packaging}/system/tindravoller.service
        DESTINATION lib/systemd/system COMPONENT server)
install(FILES ${tv_packaging}/user/tindravoller.service
        DESTINATION lib/systemd/user COMPONENT server)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/sysusers.conf
        DESTINATION lib/sysusers.d RENAME tindravoller.conf COMPONENT server)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/tmpfiles.conf
        DESTINATION lib/tmpfiles.d RENAME tindravoller.conf COMPONENT server)
# The service's options, modern on: the package's conffile, so that an administrator's edit
# survives an upgrade. /etc for the /usr prefix of the packages, where the program looks;
# another prefix's etc folder, where nothing overwrites an administrator's file.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/tindravoller.conf
        DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR} COMPONENT server)

# Manual page and changelog go compressed, without a time stamp, as Debian wants them.
find_program(TV_GZIP gzip REQUIRED)
function(tv_gzip source output)
  add_custom_command(OUTPUT ${output}
    COMMAND sh -c "${TV_GZIP} -9nc \"$0\" > \"$1\"" ${source} ${output}
    DEPENDS ${source} VERBATIM)
endfunction()
tv_gzip(${CMAKE_SOURCE_DIR}/docs/tindravoller.1 ${tv_packaging}/tindravoller.1.gz)
tv_gzip(${tv_packaging}/changelog ${tv_packaging}/changelog.gz)
add_custom_target(tv_documents ALL
  DEPENDS ${tv_packaging}/tindravoller.1.gz ${tv_packaging}/changelog.gz)
install(FILES ${tv_packaging}/tindravoller.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT server)

set(tv_components server)
if(TARGET tindravoller-window)
  list(APPEND tv_components window)
endif()
# The media-information helper is a package of its own: it alone brings FFmpeg along.
if(TARGET tindravoller-mediainfo)
  install(TARGETS tindravoller-mediainfo
          RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/tindravoller COMPONENT mediainfo)
  list(APPEND tv_components mediainfo)
endif()
foreach(component IN LISTS tv_components)
  set(package tindravoller)
  if(component STREQUAL "window")
    set(package tindravoller-window)
  elseif(component STREQUAL "mediainfo")
    set(package tindravoller-mediainfo)
  endif()
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${tv_packaging}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tindravoller)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tindravoller developers <maintainers@tindravoller.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${tv_components})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The configuration file's destination is absolute: staged under DESTDIR, not written to the
# building machine's /etc.
set(CPACK_SET_DESTDIR ON)

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME tindravoller)
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "systemd | systemd-standalone-sysusers | systemd-sysusers")
# The shipped configuration asks for media information; the helper brings FFmpeg along.
set(CPACK_DEBIAN_SERVER_PACKAGE_SUGGESTS tindravoller-mediainfo)
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    ${tv_packaging}/conffiles
    ${CMAKE_CURRENT_LIST_DIR}/debian/postinst
    ${CMAKE_CURRENT_LIST_DIR}/debian/prerm
    ${CMAKE_CURRENT_LIST_DIR}/debian/postrm)
set(CPACK_DEBIAN_SERVER_DESCRIPTION "DLNA media server for the home network
Tindravoller publishes the media files of the folders you share to every
UPnP AV / DLNA player, TV and control point on the local network. It keeps
no database: every Browse reads the folder tree as it is at that moment.

This package holds the headless server, its manual page and systemd units
for the whole machine (as its own user) and for a desktop user. Neither is
enabled on installation. The system service's /etc/tindravoller.conf serves
what today's TVs expect; tindravoller-mediainfo adds titles, durations and
cover art.")

set(CPACK_DEBIAN_WINDOW_PACKAGE_NAME tindravoller-window)
set(CPACK_DEBIAN_WINDOW_PACKAGE_DEPENDS "tindravoller (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_WINDOW_DESCRIPTION "DLNA media server for the home network - window
Tindravoller publishes the media files of the folders you share to every
UPnP AV / DLNA player, TV and control point on the local network.

This package adds the window (Qt 6) in which a desktop user adds and removes
shared folders and watches the server's log. The tindravoller command opens it
when a display answers.")

set(CPACK_DEBIAN_MEDIAINFO_PACKAGE_NAME tindravoller-mediainfo)
set(CPACK_DEBIAN_MEDIAINFO_PACKAGE_DEPENDS "tindravoller (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_MEDIAINFO_DESCRIPTION "DLNA media server for the home network - media information
Tindravoller publishes the media files of the folders you share to every
UPnP AV / DLNA player, TV and control point on the local network.

This package adds the helper that reads tags, durations, stream parameters
and cover pictures from the files, with FFmpeg, in a sandboxed process of
its own.")

include(CPack)
