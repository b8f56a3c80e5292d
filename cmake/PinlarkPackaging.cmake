# `cpack -G DEB` in a build folder makes one Debian package per part that is built:
#   pinlark_<version>_<arch>.deb        the desktop app (the binary, the launcher, the AppStream
#                                       record, the icons): the install's `desktop` component
#   pinlark-vault_<version>_<arch>.deb  the Vault server with its systemd unit and default
#                                       options: the `vault` and `vault-service` components
# Files go under /usr (CPACK_PACKAGING_INSTALL_PREFIX), the unit and its options to the
# absolute paths Debian reads them from.
#
# dpkg-shlibdeps (package dpkg-dev) works out the shared libraries' packages from each binary.
# The desktop's Depends adds what the binary loads at run time without linking it: Qt's xcb
# platform plugin, the SVG icon and image plugins, and the hicolor theme's index, without
# which no theme lookup of the installed icons succeeds on a system that has no other icon
# theme.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pinlark)
set(CPACK_PACKAGE_VENDOR "Pinlark developers")
set(CPACK_PACKAGE_CONTACT "Pinlark developers <hello@pinlark.app>")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_HOMEPAGE_URL "${PROJECT_HOMEPAGE_URL}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# CPack would put one summary line above every package's description; each description below
# starts with its own instead.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
set(CPACK_COMPONENTS_ALL "")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Pinlark developers <hello@pinlark.app>")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${PROJECT_HOMEPAGE_URL}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

if(PINLARK_BUILD_DESKTOP)
    list(APPEND CPACK_COMPONENTS_ALL desktop)
    set(CPACK_DEBIAN_DESKTOP_PACKAGE_NAME pinlark)
    set(CPACK_DEBIAN_DESKTOP_PACKAGE_SECTION utils)
    set(CPACK_DEBIAN_DESKTOP_PACKAGE_DEPENDS "qt6-qpa-plugins, libqt6svg6, hicolor-icon-theme")
    # The event sounds, libcanberra's backend for PulseAudio and PipeWire sessions, and a
    # colour emoji font: the welcome card opens with a memo, and cards often hold emoji.
    set(CPACK_DEBIAN_DESKTOP_PACKAGE_RECOMMENDS
        "sound-theme-freedesktop, libcanberra-pulse, fonts-noto-color-emoji")
    # dpkg shows the long description as it is written, so its lines are kept short here.
    string(CONCAT CPACK_DEBIAN_DESKTOP_DESCRIPTION "${PROJECT_DESCRIPTION}\n" [=[
Pinlark keeps short notes as a stack of pastel cards in the system tray.
Type into the card on top, flick between cards, filter them by #tags, pin,
recolour and tick off checklist lines. Every keystroke is saved to one JSON
file in your home folder, with daily backups, and the stack can be exported
to Markdown or synced between machines through an end-to-end encrypted
vault.]=])
endif()

if(PINLARK_BUILD_SERVER)
    # The unit names the binary where the package puts it, so these two files belong to the
    # package: a plain `cmake --install --component vault` installs the binary alone.
    set(PINLARK_VAULT_PACKAGED_BINARY
        "${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/pinlark-vault")
    configure_file("${PROJECT_SOURCE_DIR}/server/package/pinlark-vault.service.in"
        "${PROJECT_BINARY_DIR}/server/package/pinlark-vault.service" @ONLY)
    install(FILES "${PROJECT_BINARY_DIR}/server/package/pinlark-vault.service"
        DESTINATION /lib/systemd/system COMPONENT vault-service EXCLUDE_FROM_ALL)
    install(FILES "${PROJECT_SOURCE_DIR}/server/package/pinlark-vault.default"
        DESTINATION /etc/default RENAME pinlark-vault COMPONENT vault-service EXCLUDE_FROM_ALL)

    list(APPEND CPACK_COMPONENTS_ALL vault vault-service)
    set(CPACK_COMPONENT_VAULT_GROUP server)
    set(CPACK_COMPONENT_VAULT-SERVICE_GROUP server)
    set(CPACK_DEBIAN_SERVER_PACKAGE_NAME pinlark-vault)
    set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION net)
    # Defined, so that nothing is taken from the package-wide fields.
    set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "")
    set(CPACK_DEBIAN_SERVER_PACKAGE_RECOMMENDS "")
    set(CPACK_DEBIAN_SERVER_PACKAGE_SUGGESTS "postgresql")
    # The options file is the administrator's: an upgrade keeps their edits. The scripts start
    # the service on install and restart it on upgrade, as debhelper's would.
    set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
        "${PROJECT_SOURCE_DIR}/server/package/conffiles"
        "${PROJECT_SOURCE_DIR}/server/package/postinst"
        "${PROJECT_SOURCE_DIR}/server/package/prerm"
        "${PROJECT_SOURCE_DIR}/server/package/postrm")
    set(CPACK_DEBIAN_SERVER_DESCRIPTION [=[
Pinlark Vault, the self-hostable sync server for Pinlark
pinlark-vault keeps the encrypted payloads that Pinlark clients sync
through, in SQLite or PostgreSQL. It never sees a card or a passport code.
The package runs it as a hardened systemd service with a user of its own,
serving plain HTTP on loopback for a reverse proxy that does TLS; its
options are in /etc/default/pinlark-vault.]=])
endif()

# include(CPack) also adds a package_source target; keep build folders and Git out of it.
set(CPACK_SOURCE_IGNORE_FILES "/\\.git/" "/\\.cache/" "/build[^/]*/")

include(CPack)
