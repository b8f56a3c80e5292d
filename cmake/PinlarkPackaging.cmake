# `cpack -G DEB` in a build folder makes pinlark_<version>_<arch>.deb from what
# `cmake --install` puts on a system (the binary, the launcher, the AppStream record, the
# icons), installed under /usr (the DEB generator's default prefix).
#
# dpkg-shlibdeps (package dpkg-dev) works out the shared libraries' packages from the binary.
# Depends adds what the binary loads at run time without linking it: Qt's xcb platform plugin,
# the SVG icon and image plugins, and the hicolor theme's index, without which no theme
# lookup of the installed icons succeeds on a system that has no other icon theme.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pinlark)
set(CPACK_PACKAGE_VENDOR "Pinlark developers")
set(CPACK_PACKAGE_CONTACT "Pinlark developers <hello@pinlark.app>")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_HOMEPAGE_URL "${PROJECT_HOMEPAGE_URL}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# dpkg shows the long description as it is written, so its lines are kept short here.
set(CPACK_PACKAGE_DESCRIPTION [=[
Pinlark keeps short notes as a stack of pastel cards in the system tray.
Type into the card on top, flick between cards, filter them by #tags, pin,
recolour and tick off checklist lines. Every keystroke is saved to one JSON
file in your home folder, with daily backups, and the stack can be exported
to Markdown or synced between machines through an end-to-end encrypted
vault.]=])
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Pinlark developers <hello@pinlark.app>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${PROJECT_HOMEPAGE_URL}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, libqt6svg6, hicolor-icon-theme")
# The event sounds, libcanberra's backend for PulseAudio and PipeWire sessions, and a colour
# emoji font: the welcome card opens with a memo, and cards often hold emoji.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "sound-theme-freedesktop, libcanberra-pulse, fonts-noto-color-emoji")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

# include(CPack) also adds a package_source target; keep build folders and Git out of it.
set(CPACK_SOURCE_IGNORE_FILES "/\\.git/" "/\\.cache/" "/build[^/]*/")

include(CPack)
