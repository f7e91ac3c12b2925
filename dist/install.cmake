# Installs the manual pages and the systemd unit for warden.  Included from the
# top-level CMakeLists.txt, after GNUInstallDirs.
set(QUELM_SYSTEMD_UNITDIR "lib/systemd/system" CACHE STRING
    "Where the systemd unit goes; relative paths are under the install prefix")

configure_file(${CMAKE_CURRENT_LIST_DIR}/warden.service.in
               ${CMAKE_BINARY_DIR}/dist/warden.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/dist/warden.service DESTINATION ${QUELM_SYSTEMD_UNITDIR})
configure_file(${CMAKE_CURRENT_LIST_DIR}/warden-hub.service.in
               ${CMAKE_BINARY_DIR}/dist/warden-hub.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/dist/warden-hub.service DESTINATION ${QUELM_SYSTEMD_UNITDIR})

set(_quelm_man ${CMAKE_CURRENT_LIST_DIR}/../man)
install(FILES ${_quelm_man}/warden.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${_quelm_man}/quelm.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)
install(FILES ${_quelm_man}/socks5-demo.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${_quelm_man}/warden-hub.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${_quelm_man}/warden-watch.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
unset(_quelm_man)
