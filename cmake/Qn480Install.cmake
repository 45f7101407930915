# SPDX-License-Identifier: GPL-3.0-or-later
# What `cmake --install` puts under the prefix, and so what the Debian package holds: the
# three programs, the desktop entry with its icon and AppStream metainfo, the manual pages,
# the bash completion, an example udev rule and the station's systemd unit.
include(GNUInstallDirs)

install(TARGETS qn480-tool qn480ctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET qn480-sim)
    install(TARGETS qn480-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(FILES ${PROJECT_SOURCE_DIR}/data/qn480-tool.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/data/icons/qn480-tool.svg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${PROJECT_SOURCE_DIR}/data/org.qn480.BenchTool.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# Every page in data/man, so that a program's new page needs no rule of its own; a template
# (.1.in) is filled in at build time.
file(GLOB qn480_man_pages CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/data/man/*.1)
install(FILES ${qn480_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# qn480ctl's page and its bash completion are made from its command model at build time
# (tools/); the completion is named after its command, where bash-completion loads it on demand.
if(TARGET qn480ctl_docs)
    install(FILES ${PROJECT_BINARY_DIR}/data/man/qn480ctl.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES ${PROJECT_BINARY_DIR}/data/bash-completion/qn480ctl
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
endif()

# Not into /etc, and not as a .rules file: only a rule with the adapter's own IDs is of use,
# and `qn480ctl udev-rule` writes that one.
install(FILES ${PROJECT_SOURCE_DIR}/contrib/70-qn480-reader.rules.example
    DESTINATION ${CMAKE_INSTALL_DATADIR}/qn480/udev)

# The station's template unit, where Debian keeps packaged units (not enabled: each reader is
# an instance its administrator enables), and the configuration it reads, as an example. The
# unit names qn480ctl under the configured prefix; the package's copy is mended to its own
# prefix (Qn480PackageStaging.cmake).
configure_file("${PROJECT_SOURCE_DIR}/data/systemd/qn480-poll@.service.in"
    "${PROJECT_BINARY_DIR}/data/systemd/qn480-poll@.service" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/data/systemd/qn480-poll@.service"
    DESTINATION lib/systemd/system)
install(FILES ${PROJECT_SOURCE_DIR}/data/systemd/reader.conf.example
    DESTINATION ${CMAKE_INSTALL_DATADIR}/qn480/systemd)

install(FILES ${PROJECT_SOURCE_DIR}/data/copyright ${PROJECT_SOURCE_DIR}/data/changelog
    DESTINATION ${CMAKE_INSTALL_DOCDIR})

include(Qn480Package)
