# Installation, the capture right of the installed helper, and the Debian package.

set(TARROW_APP_ID org.example.merrow.Tarrow)

install(TARGETS tarrow-capture-helper RUNTIME DESTINATION ${TARROW_HELPER_INSTALL_DIR})

if(TARGET tarrow)
  install(FILES packaging/${TARROW_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES packaging/${TARROW_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
  foreach(size 16 24 32 48 64 128 256)
    install(FILES res/images/tarrow_${size}.png
      DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME tarrow.png)
  endforeach()
  install(FILES res/images/tarrow.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()

# A root install into the live system grants the right at once. A staged install (DESTDIR, or the
# package's own staging prefix) leaves it to whoever installs the result: the package's postinst.
install(CODE "
  set(_helper \"\${CMAKE_INSTALL_PREFIX}/${TARROW_HELPER_INSTALL_DIR}/tarrow-capture-helper\")
  if(NOT \"\$ENV{DESTDIR}\" STREQUAL \"\" OR NOT CMAKE_INSTALL_PREFIX STREQUAL \"${CMAKE_INSTALL_PREFIX}\")
    message(STATUS \"Staged install: the capture right is set where it is finally installed\")
  else()
    execute_process(COMMAND id -u OUTPUT_VARIABLE _uid OUTPUT_STRIP_TRAILING_WHITESPACE)
    set(_result 1)
    if(_uid STREQUAL \"0\")
      execute_process(COMMAND setcap cap_net_raw+ep \"\${_helper}\" RESULT_VARIABLE _result)
    endif()
    if(_result EQUAL 0)
      message(STATUS \"Capture right granted: \${_helper}\")
    else()
      message(STATUS \"To let users capture, run: sudo setcap cap_net_raw+ep \${_helper}\")
    endif()
  endif()
")

# The Debian package. Build it from a tree configured with -DCMAKE_INSTALL_PREFIX=/usr and
# -DTARROW_HELPER_FROM_BUILD_TREE=OFF, so the programs it holds only run the installed helper.
configure_file(packaging/debian/postinst.in ${PROJECT_BINARY_DIR}/packaging/debian/postinst
  @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarrow)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Merrow Labs")
set(CPACK_PACKAGE_CONTACT "Tarrow packaging <packaging@merrow.example.org>")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://merrow.example.org/")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "list the DNS names queried on one network interface")
set(CPACK_PACKAGE_DESCRIPTION
"Tarrow watches one local IPv4 interface and keeps a live list of the DNS
names asked for across it, newest first, each with the time it was first
seen. The list can be cleared, saved as text, and a name opened in the
browser.
.
Tarrow runs as the user. Only its small capture helper holds the
cap_net_raw capability, and only members of the group tarrow may run it.")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# setcap and groupadd run in postinst.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcap2-bin, passwd")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${PROJECT_BINARY_DIR}/packaging/debian/postinst
  ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
