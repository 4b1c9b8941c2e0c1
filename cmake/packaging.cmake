# Installing (cmake --install) and the Debian package (cpack -G DEB).
include(GNUInstallDirs)

install(TARGETS sysaudio RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(FILES "${SYSAUDIO_MANUAL}" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
install(FILES README.md LICENSE DESTINATION "${CMAKE_INSTALL_DOCDIR}")

# Debian's copyright file, made from LICENSE so the licence has one text.
file(READ "${PROJECT_SOURCE_DIR}/LICENSE" sysaudio_license)
if(NOT sysaudio_license MATCHES "Copyright \\(c\\) ([^\n]+)\n\n(Permission .*[^\n])\n*$")
  message(FATAL_ERROR "LICENSE is not the MIT licence text this build knows how to read")
endif()
set(sysaudio_copyright_holder "${CMAKE_MATCH_1}")
string(REPLACE "\n" "\n " sysaudio_license_text " ${CMAKE_MATCH_2}")
string(REPLACE "\n \n" "\n .\n" sysaudio_license_text "${sysaudio_license_text}")
set(SYSAUDIO_DEBIAN_COPYRIGHT "${PROJECT_BINARY_DIR}/debian/copyright")
file(WRITE "${SYSAUDIO_DEBIAN_COPYRIGHT}"
     "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
     "Upstream-Name: sysaudio\n"
     "\n"
     "Files: *\n"
     "Copyright: ${sysaudio_copyright_holder}\n"
     "License: Expat\n"
     "${sysaudio_license_text}\n")

set(SYSAUDIO_PACKAGE_MAINTAINER "The sysaudio authors <sysaudio@example.org>"
    CACHE STRING "Maintainer of the Debian package, as Name <address>")

set(CPACK_PACKAGE_NAME sysaudio)
set(CPACK_PACKAGE_VENDOR "the sysaudio authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "capture the system audio as a stream of mono float samples")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${SYSAUDIO_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "sysaudio is a small helper program that a desktop application starts to\n"
    "receive the machine's system audio: everything the machine plays, except\n"
    "the audio of the application that started it, mixed to one channel of\n"
    "32-bit floating-point samples at the rate it is given, as one continuous\n"
    "stream on standard output. Live transcription, meeting notes and audio\n"
    "analysis read that stream for hours.\n"
    "\n"
    "It captures from the session's PipeWire server.")
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION ${CPACK_DEBIAN_PACKAGE_DESCRIPTION})
# The libraries come from dpkg-shlibdeps. A capture also needs a running PipeWire server and a
# session manager, which no library link shows. Desktop applications mostly play through the
# PulseAudio interface, whose streams reach the PipeWire server, and so sysaudio, only through
# pipewire-pulse.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "pipewire, wireplumber | pipewire-media-session")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pipewire-pulse")
# What Debian wants beside the installed files: the copyright file, the changelog, and the
# manual compressed.
set(SYSAUDIO_DEBIAN_CHANGELOG "${PROJECT_SOURCE_DIR}/packaging/debian/changelog")
set(CPACK_PRE_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/cmake/debian-files.cmake")
set(CPACK_PROJECT_CONFIG_FILE "${PROJECT_BINARY_DIR}/debian/cpack-config.cmake")
file(WRITE "${CPACK_PROJECT_CONFIG_FILE}"
     "set(SYSAUDIO_DEBIAN_COPYRIGHT \"${SYSAUDIO_DEBIAN_COPYRIGHT}\")\n"
     "set(SYSAUDIO_DEBIAN_CHANGELOG \"${SYSAUDIO_DEBIAN_CHANGELOG}\")\n"
     "set(SYSAUDIO_STRIP \"${CMAKE_STRIP}\")\n")
include(CPack)
