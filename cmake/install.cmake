# What `cmake --install` puts in place: the programs, the web page of the signalling server,
# example configurations and systemd units.
include(GNUInstallDirs)

set(NORVANE_INSTALL_TARGETS norvane norvane-sender)
if(TARGET norvane-signal)
  list(APPEND NORVANE_INSTALL_TARGETS norvane-signal)
endif()
install(TARGETS ${NORVANE_INSTALL_TARGETS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES config/norvane-example.json config/norvane-signal-example.json
        DESTINATION ${CMAKE_INSTALL_DATADIR}/norvane/examples)
install(DIRECTORY tools/signal/web/ DESTINATION ${CMAKE_INSTALL_DATADIR}/norvane/web)

# Units name the installed programs and the configuration under the system's /etc.
set(NORVANE_BINDIR ${CMAKE_INSTALL_FULL_BINDIR})
set(NORVANE_DOCDIR ${CMAKE_INSTALL_FULL_DOCDIR})
foreach(unit norvane norvane-signal)
  configure_file(packaging/systemd/${unit}.service.in ${CMAKE_BINARY_DIR}/${unit}.service @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/${unit}.service DESTINATION lib/systemd/system)
endforeach()
