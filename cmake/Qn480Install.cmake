# What `cmake --install` puts under the prefix: the three programs, the desktop entry and
# its icon, the manual pages and the udev rule for packagers to pick up.
include(GNUInstallDirs)

install(TARGETS qn480-tool qn480ctl qn480-sim
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(FILES ${PROJECT_SOURCE_DIR}/data/qn480-tool.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/data/icons/qn480-tool.svg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES
    ${PROJECT_SOURCE_DIR}/data/man/qn480-tool.1
    ${PROJECT_SOURCE_DIR}/data/man/qn480ctl.1
    ${PROJECT_SOURCE_DIR}/data/man/qn480-sim.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# Not into /etc: a rule with the adapter's IDs filled in belongs to the administrator.
install(FILES ${PROJECT_SOURCE_DIR}/contrib/70-qn480-reader.rules
    DESTINATION ${CMAKE_INSTALL_DATADIR}/qn480/udev)
# Where Debian's bash-completion loads it on demand, named after the program.
install(FILES ${PROJECT_SOURCE_DIR}/data/completion/qn480ctl
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
