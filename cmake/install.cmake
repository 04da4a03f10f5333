# cmake --install: the programs in bin, the host library beside them in lib, the plug-in in
# lib/ktr40e, a systemd unit per site file, its system user, a logrotate snippet for the event
# traces and the Prometheus alert rules.
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

# The folders systemd reads under this prefix: the systemd package's own (pkg-config), else the
# usual lib/systemd/system and lib/sysusers.d. Kept relative to the prefix when inside it, so
# `cmake --install --prefix` still moves them.
function(ktr40e_systemd_dir out variable fallback)
  set(dir ${fallback})
  execute_process(COMMAND ${PKG_CONFIG_EXECUTABLE} --define-variable=prefix=${CMAKE_INSTALL_PREFIX}
                          --define-variable=root_prefix=${CMAKE_INSTALL_PREFIX}
                          --define-variable=rootprefix=${CMAKE_INSTALL_PREFIX} --variable=${variable} systemd
                  OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE result ERROR_QUIET)
  if(result EQUAL 0 AND IS_ABSOLUTE "${found}")
    file(RELATIVE_PATH inside ${CMAKE_INSTALL_PREFIX} ${found})
    if(inside MATCHES "^\\.\\./")
      set(dir ${found})
    else()
      set(dir ${inside})
    endif()
  endif()
  set(${out} ${dir} PARENT_SCOPE)
endfunction()
ktr40e_systemd_dir(KTR40E_UNIT_DIR systemdsystemunitdir lib/systemd/system)
ktr40e_systemd_dir(KTR40E_SYSUSERS_DIR sysusersdir lib/sysusers.d)

# The unit, the user it runs as and the rotation of its traces: component `service`.
set(KTR40E_PLUGIN_INSTALLED ${CMAKE_INSTALL_FULL_LIBDIR}/ktr40e/ktr40e.so)
configure_file(${CMAKE_SOURCE_DIR}/config/sitehost@.service.in ${CMAKE_BINARY_DIR}/sitehost@.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/sitehost@.service DESTINATION ${KTR40E_UNIT_DIR} COMPONENT service)
install(FILES ${CMAKE_SOURCE_DIR}/config/sitehost.sysusers DESTINATION ${KTR40E_SYSUSERS_DIR}
        RENAME sitehost.conf COMPONENT service)
# logrotate reads /etc/logrotate.d alone, whatever the prefix; DESTDIR still comes before it.
install(FILES ${CMAKE_SOURCE_DIR}/config/sitehost.logrotate DESTINATION /etc/logrotate.d RENAME sitehost
        COMPONENT service)
install(FILES ${CMAKE_SOURCE_DIR}/config/ktr40e.rules.yml ${CMAKE_SOURCE_DIR}/config/ktr40e-grafana.json
        DESTINATION ${CMAKE_INSTALL_DATADIR}/ktr40e COMPONENT monitoring)
