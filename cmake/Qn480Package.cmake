# SPDX-License-Identifier: GPL-3.0-or-later
# The Debian package: `cpack -G DEB` in a build folder, or scripts/package.
# Library dependencies come from dpkg-shlibdeps (Debian's dpkg-dev) on the programs
# themselves, so the package asks for the run-time libraries, never for -dev packages.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qn480)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "QN480 bench tool developers")
set(QN480_PACKAGE_MAINTAINER "QN480 bench tool developers <developers@qn480.org>"
    CACHE STRING "Maintainer field of the Debian package")
set(CPACK_PACKAGE_CONTACT "${QN480_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "bench tool for the QN480 contactless card reader")
# Continuation lines of a control field start with a blank; " ." is an empty line.
# CPack puts the summary first and indents these lines; an empty line becomes " .", a line
# that starts with a blank is kept as it is, but the last line loses its blanks unless a
# newline follows it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "The QN480 is a 13.56 MHz contactless card reader on a serial port. This
package holds three programs for it:

 * qn480-tool, a window that polls ISO14443A, ISO14443B, FeliCa and ISO15693
   cards and reads and writes the reader's keyboard-emulation settings;
 * qn480ctl, the same procedures for scripts and production lines;
 * qn480-sim, a simulated reader on a pseudo-terminal, for trying both
   without the hardware.
")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The faces the window's captions are laid out for (Liberation Sans, DejaVu Sans Condensed);
# without them captions are clipped.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-liberation2, fonts-dejavu-core, fonts-dejavu-extra")
# udevadm, for qn480ctl udev-rule; bash-completion, which loads qn480ctl's completion.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udev, bash-completion")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# For the staging script: the folders that the configured prefix wrote into generated files.
set(CPACK_QN480_CONFIGURED_PREFIX "${CMAKE_INSTALL_PREFIX}")
# Whatever the umask of the person building it.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# Compressed manual pages and changelog, programs without compiler notes, as in Debian.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/Qn480PackageStaging.cmake)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
include(CPack)
