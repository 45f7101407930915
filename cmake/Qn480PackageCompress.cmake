# Run by CPack on its staging tree before it builds the .deb: compresses the manual pages and
# the changelog as Debian does (gzip -n, so that the package does not change with the time
# of the build).
file(GLOB_RECURSE pages "${CPACK_TEMPORARY_DIRECTORY}/usr/share/man/*.[1-9]")
file(GLOB changelog "${CPACK_TEMPORARY_DIRECTORY}/usr/share/doc/*/changelog")
foreach(page IN LISTS pages changelog)
    execute_process(COMMAND gzip -9nf "${page}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
