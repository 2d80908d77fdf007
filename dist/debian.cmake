# The Debian package that `cpack -G DEB` makes in the build folder:
# tarvik-setup-converter_<version>_<arch>.deb. Included by dist/CMakeLists.txt
# before include(CPack).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${TARVIK_PACKAGE})
set(CPACK_PACKAGE_VENDOR Tarvik)
set(CPACK_PACKAGE_CONTACT "Tarvik Setup Converter maintainers <tarvik-setup-converter@example.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "convert Tarvik device setups from 8 to 16 virtual inputs")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [=[
Tarvik Setup Converter turns a device's old setup file (Intel HEX, a
3432-byte setup with 8 virtual inputs) into the new layout (a 3776-byte
setup with 16 virtual inputs). It refuses, with a message that names the
file and the line, any input that is not a complete, valid old setup, and
it never leaves a half-written output file behind.

The package holds the converter window, with its menu entry, offered for
Intel HEX files (*.hex), and tarvik-convert, which converts one file or a
batch of files into a folder from the command line.]=])

# A native version, 1.0.0 with no Debian revision, since the project packages
# itself; its changelog is therefore share/doc/<package>/changelog.gz.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)   # whatever the build type: lintian refuses unstripped programs

# Depends: the libraries the programs link, found by dpkg-shlibdeps, and Qt's
# SVG plugins, which no program links but the window needs for its icon.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS libqt${TARVIK_QT_MAJOR}svg${TARVIK_QT_MAJOR})
