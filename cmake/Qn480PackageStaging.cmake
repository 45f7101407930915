# SPDX-License-Identifier: GPL-3.0-or-later
# Run by CPack on its staging tree before it builds the .deb, to leave it as Debian's own
# tools would: programs without the compiler's notes, manual pages and the changelog
# compressed (gzip -n, so that the package does not change with the time of the build).
find_program(QN480_OBJCOPY objcopy)
file(GLOB programs "${CPACK_TEMPORARY_DIRECTORY}/usr/bin/*")
if(QN480_OBJCOPY)
    foreach(program IN LISTS programs)
        execute_process(COMMAND ${QN480_OBJCOPY} --remove-section=.comment
                                --remove-section=.note "${program}" COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
endif()

file(GLOB_RECURSE pages "${CPACK_TEMPORARY_DIRECTORY}/usr/share/man/*.[1-9]")
file(GLOB changelog "${CPACK_TEMPORARY_DIRECTORY}/usr/share/doc/*/changelog")
foreach(file IN LISTS pages changelog)
    execute_process(COMMAND gzip -9nf "${file}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()

# The systemd unit names its programs under the prefix the build was configured with; the
# package puts them under its own.
set(unit "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/lib/systemd/system/qn480-poll@.service")
if(EXISTS "${unit}" AND NOT CPACK_QN480_CONFIGURED_PREFIX STREQUAL CPACK_PACKAGING_INSTALL_PREFIX)
    file(READ "${unit}" text)
    string(REPLACE "${CPACK_QN480_CONFIGURED_PREFIX}/" "${CPACK_PACKAGING_INSTALL_PREFIX}/" text
        "${text}")
    file(WRITE "${unit}" "${text}")
endif()
