# cpack -G DEB: tevro-console_<version>_<arch>.deb with both programs and what packaging/
# installs. The dependencies are read from the libraries the binaries link (dpkg-shlibdeps,
# from dpkg-dev).
set(CPACK_PACKAGE_NAME tevro-console)
set(CPACK_PACKAGE_VENDOR "${TEVRO_VENDOR}")
set(CPACK_PACKAGE_CONTACT "${TEVRO_VENDOR} <${TEVRO_CONTACT_MAIL}>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "service console for the TEVRO GSM/GPRS terminal device")
# The long description; cpack puts the summary above it as the first line.
set(CPACK_PACKAGE_DESCRIPTION
    "A technician opens a serial port and talks to the device as a text terminal,
or lets the console answer the device's framed request packets by itself;
drives DTR and RTS, shows the modem lines, and exchanges UDP datagrams with
the device. The device simulator tevro-devsim comes with it.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # tevro-console_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${TEVRO_HOMEPAGE}")
# The toolkit picks its platform plug-in at run time: X, or Wayland where the session has it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland")
set(CPACK_STRIP_FILES ON)
# Directories 0755 and files 0644 whatever the builder's umask.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
