# cmake --install: the programs in bin, the host library beside them in lib, the plug-in in
# lib/ktr40e, a systemd unit per site file, a logrotate snippet for the event traces and the
# Prometheus alert rules.
# Every RUNPATH is relative to $ORIGIN, so an installed tree runs wherever it is put.
file(RELATIVE_PATH KTR40E_BIN_TO_LIB ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
set(KTR40E_PLUGIN_DIR ${CMAKE_INSTALL_LIBDIR}/ktr40e)
set(KTR40E_PROGRAMS sitehost ktr40e-sim)
foreach(program IN LISTS KTR40E_PROGRAMS)
  if(TARGET ${program})
    set_target_properties(${program} PROPERTIES INSTALL_RPATH "$ORIGIN/${KTR40E_BIN_TO_LIB}")
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
# The host library finds the line library beside it.
set_target_properties(sitecore PROPERTIES INSTALL_RPATH "$ORIGIN")
install(TARGETS sitecore linecore LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS ktr40e LIBRARY DESTINATION ${KTR40E_PLUGIN_DIR})

set(KTR40E_PLUGIN_INSTALLED ${CMAKE_INSTALL_FULL_LIBDIR}/ktr40e/ktr40e.so)
configure_file(${CMAKE_SOURCE_DIR}/config/sitehost@.service.in ${CMAKE_BINARY_DIR}/sitehost@.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/sitehost@.service DESTINATION ${CMAKE_INSTALL_LIBDIR}/systemd/system)
install(FILES ${CMAKE_SOURCE_DIR}/config/sitehost.logrotate DESTINATION ${CMAKE_INSTALL_SYSCONFDIR}/logrotate.d
        RENAME sitehost)
install(FILES ${CMAKE_SOURCE_DIR}/config/ktr40e.rules.yml DESTINATION ${CMAKE_INSTALL_DATADIR}/ktr40e
        COMPONENT monitoring)
