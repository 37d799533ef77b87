# Installation, the capture right of the installed helper, and the Debian package.

# Never world-executable, not even for the moment between a reinstall and the grant below.
install(TARGETS ${TARROW_HELPER_NAME} RUNTIME DESTINATION ${TARROW_HELPER_INSTALL_DIR}
  PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE)

# tarrow-watch beside tarrow, with its man page where help2man made one.
install(TARGETS tarrow-watch RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARROW_WATCH_MAN_PAGE)
  install(FILES ${TARROW_WATCH_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# The service that runs tarrow-watch on one interface, into the journal. Nothing enables it: an
# administrator picks the interface (systemctl enable --now tarrow-watch@eth0). Under the prefix's
# own lib/systemd/system, which systemd reads for /usr and /usr/local alike.
set(TARROW_WATCH_INSTALLED "${CMAKE_INSTALL_FULL_BINDIR}/tarrow-watch")
configure_file(packaging/systemd/tarrow-watch@.service.in
  ${PROJECT_BINARY_DIR}/packaging/systemd/tarrow-watch@.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/systemd/tarrow-watch@.service DESTINATION lib/systemd/system)
install(FILES packaging/bash-completion/tarrow-watch
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

if(TARGET tarrow)
  # Named after the app id, which the window gives the desktop so that it finds this entry.
  configure_file(packaging/tarrow.desktop.in ${PROJECT_BINARY_DIR}/packaging/${TARROW_APP_ID}.desktop @ONLY)
  configure_file(packaging/tarrow.metainfo.xml.in ${PROJECT_BINARY_DIR}/packaging/${TARROW_APP_ID}.metainfo.xml @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/${TARROW_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/${TARROW_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
  foreach(size 16 24 32 48 64 128 256)
    install(FILES res/images/tarrow_${size}.png
      DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME tarrow.png)
  endforeach()
  install(FILES res/images/tarrow.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()

# The rights the installed helper's file holds: cap_net_raw to capture, cap_bpf and cap_perfmon to
# load the program that names the sender of each local query. Permitted only: the helper raises
# them itself, so that a process whose bounding set lacks some can still run it and capture.
set(TARROW_HELPER_RIGHTS "cap_net_raw,cap_bpf,cap_perfmon=p")

# A root install into the live system grants the right as the package does. A staged install
# (DESTDIR, or the package's own staging prefix) leaves it to whoever installs the result.
configure_file(cmake/GrantCaptureRight.cmake.in ${PROJECT_BINARY_DIR}/GrantCaptureRight.cmake @ONLY)
install(SCRIPT ${PROJECT_BINARY_DIR}/GrantCaptureRight.cmake)

# The Debian package. Build it from a tree configured with -DCMAKE_INSTALL_PREFIX=/usr and
# -DTARROW_HELPER_FROM_BUILD_TREE=OFF, so the programs it holds only run the installed helper.
configure_file(packaging/debian/postinst.in ${PROJECT_BINARY_DIR}/packaging/debian/postinst
  @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarrow)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Merrow Labs")
set(CPACK_PACKAGE_CONTACT "Tarrow packaging <packaging@merrow.example.org>")
set(CPACK_PACKAGE_HOMEPAGE_URL "${TARROW_HOMEPAGE}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "list the DNS names queried on one network interface")
set(CPACK_PACKAGE_DESCRIPTION
"Tarrow watches one local network interface and keeps a live list of the
DNS names asked for across it, over IPv4 and IPv6, newest first, each with
the time it was first seen. The list can be cleared, saved as text, and a name opened in the
browser.
.
tarrow-watch prints the same capture for terminals and log pipelines, one
line per query (aligned text, TSV, CSV or JSON lines), and reads pcap files.
The service tarrow-watch@INTERFACE (installed disabled) writes its JSON
lines to the journal as the system user tarrow-watch.
.
Tarrow runs as the user. Only its small capture helper holds
capabilities (cap_net_raw, and cap_bpf and cap_perfmon until it has attached
the program that names the sender of each local query), and only members of
the group tarrow may run it.")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# setcap, groupadd and useradd run in postinst.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcap2-bin, passwd")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${PROJECT_BINARY_DIR}/packaging/debian/postinst
  ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)

# The list of resolvers the program tells DNS over HTTPS by, as it was built in: for users to read,
# and to start a list of their own from.
install(FILES frames/doh-resolvers.txt DESTINATION ${CMAKE_INSTALL_DATADIR}/tarrow)
