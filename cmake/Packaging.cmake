# A Debian package of the library, its header, the tool, its manual page and
# bash completion, the CMake package and the pkg-config file:
#   cmake -S . -B build-deb -DCMAKE_INSTALL_PREFIX=/usr && cmake --build build-deb
#   cpack -G DEB --config build-deb/CPackConfig.cmake
# (scripts/package.sh does this). Its dependencies are read from the
# binaries by dpkg-shlibdeps; the library's shlibs file and the ldconfig
# trigger are generated.

install(FILES LICENSE
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/vantry-config
  RENAME copyright)
install(FILES CHANGELOG.md
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/vantry-config)

set(CPACK_PACKAGE_NAME vantry-config)
set(CPACK_PACKAGE_VENDOR "The Vantry.Config authors")
set(CPACK_PACKAGE_CONTACT "The Vantry.Config authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "INI settings files, edited without losing a byte")
set(CPACK_PACKAGE_DESCRIPTION
  "Vantry.Config keeps a program's settings in INI files: typed reads with \
defaults, edits that change only the lines they must, atomic saves merged \
between processes, and any thread at any time. Holds the shared library, its \
C++17 header, CMake and pkg-config files, and vty-ini, a command-line tool \
for reading and editing INI files from shell scripts.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
# A Debian package installs under /usr, whatever prefix the build was for.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "man-db, bash-completion")

include(CPack)
