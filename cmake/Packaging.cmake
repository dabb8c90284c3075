# `cpack -G DEB` in a build folder: a Debian package of what `cmake --install` installs (kavo,
# kavo-share, the desktop entries, the icon, the AppStream metainfo, the file managers' menu
# entries). Library dependencies come from dpkg-shlibdeps; what kavo loads at run time without
# linking it (QML modules, the SVG icon plugin, Qt's Wayland platform, zip) is named here.
set(CPACK_PACKAGE_NAME "kavo")
set(CPACK_PACKAGE_VENDOR "The Kavo team")
set(CPACK_PACKAGE_CONTACT "The Kavo team <team@kavo.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Turn dropped files into share links")
set(CPACK_PACKAGE_DESCRIPTION "Kavo lives in the system tray. It zips folders and multi-file drops, uploads them into \
your own Google Drive or Dropbox, registers the upload with the Kavo web service and puts the share link on the \
clipboard. Its panel lists recent links and manages each one. kavo-share and the file managers' Share via Kavo \
entries upload from the file manager, and kavo links and kavo link manage links from a shell.")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://share.kavo.example")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "zip, qml6-module-qtquick, qml6-module-qtquick-controls, qml6-module-qtquick-layouts, qml6-module-qtquick-templates, \
qml6-module-qtquick-window, qml6-module-qtqml-workerscript, libqt6svg6, qt6-wayland")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, shared-mime-info")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3-nautilus")

include(CPack)
