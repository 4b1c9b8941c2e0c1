# Run by CPack once the files are in the staging directory, before it packs them: adds what a
# Debian package carries beside them and compresses what Debian keeps compressed.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(doc "${root}/share/doc/sysaudio")
if(NOT EXISTS "${doc}/README.md" OR NOT EXISTS "${root}/share/man/man1/sysaudio.1")
  message(FATAL_ERROR "the staged files are not where this script looks: ${root}")
endif()

file(STRINGS "${SYSAUDIO_DEBIAN_CHANGELOG}" changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^sysaudio \\(${CPACK_PACKAGE_VERSION}\\) ")
  message(FATAL_ERROR "${SYSAUDIO_DEBIAN_CHANGELOG} has no entry for ${CPACK_PACKAGE_VERSION} "
                      "at its top; add one")
endif()

# Stripped as Debian's own packaging tools strip, without the sections nothing reads.
execute_process(COMMAND "${SYSAUDIO_STRIP}" --remove-section=.comment --remove-section=.note
                        "${root}/bin/sysaudio" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "strip ${root}/bin/sysaudio: ${status}")
endif()

function(compress source target)
  execute_process(COMMAND gzip -9n --stdout "${source}" OUTPUT_FILE "${target}"
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip ${source}: ${status}")
  endif()
  file(CHMOD "${target}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endfunction()

compress("${root}/share/man/man1/sysaudio.1" "${root}/share/man/man1/sysaudio.1.gz")
file(REMOVE "${root}/share/man/man1/sysaudio.1")
# A package whose version has no Debian revision is a native one, whose changelog is changelog.gz.
compress("${SYSAUDIO_DEBIAN_CHANGELOG}" "${doc}/changelog.gz")
# The copyright file carries the licence in the form Debian reads.
file(REMOVE "${doc}/LICENSE")
file(COPY_FILE "${SYSAUDIO_DEBIAN_COPYRIGHT}" "${doc}/copyright")
file(CHMOD "${doc}/copyright" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
