# The Debian package: `cpack -G DEB` in the build folder (scripts/package does it and checks the
# result). Library dependencies are computed by dpkg-shlibdeps from the packaged programs and
# plug-ins; only what no ELF file names is listed here.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME scryde)
set(CPACK_PACKAGE_VENDOR "Scryde developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "reader for the hard drives of stand-alone video recorders")
# The extended description; CPack puts the summary above it as the synopsis.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Scryde lists, plays, searches, exports and checks the recordings on the
drives of ORMA and TAV video recorders, on images of them and on stream
files, without ever writing to them. It ships the command-line program
scryde, the desktop reader ScrydeReader and the drive checker Chekra.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Scryde developers <scryde-devel@example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt loads its window-system plug-ins at run time, so no ELF file names them.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
# The text overlay and the checker's report use fontconfig faces; any common font serves.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-dejavu-core")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
# The staged tree only: nothing of the build folder or the source tree.
set(CPACK_SOURCE_IGNORE_FILES "/build/;/\\\\.git/")
include(CPack)
