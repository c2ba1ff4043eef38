# package.cmake: the installed files and the Debian package (CPack DEB).
# `make package` leaves build/kalvern_<version>_<arch>.deb.

include(GNUInstallDirs)
set(KALVERN_MAINTAINER
  "Seed e6f57b20 maintainers <maintainers@users.noreply.c-seed-e6f57b20.example>")

# The man page and the changelog go out compressed, without a timestamp in
# the gzip header, as Debian wants them.  The package is native (its version
# has no Debian revision), so its changelog is named changelog.gz.
configure_file(doc/changelog.in changelog @ONLY)
add_custom_command(OUTPUT kalvern.1.gz
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/doc/kalvern.1 kalvern.1
  COMMAND gzip -9nf kalvern.1
  DEPENDS doc/kalvern.1)
add_custom_command(OUTPUT changelog.gz
  COMMAND gzip -9nkf changelog
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/changelog)
add_custom_target(compressed_docs ALL
  DEPENDS kalvern.1.gz changelog.gz)

install(TARGETS kalvern RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kalvern.1.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES completion/kalvern.bash
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
  RENAME kalvern)
install(FILES doc/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kalvern)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${KALVERN_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "compare two directory trees by modification time and synchronise them")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "kalvern walks two directory trees, pairs their regular files by relative
path and compares their modification times in whole seconds. It lists
every file that is newer on one side or exists on one side only, in two
columns side by side, and then asks whether to synchronise: newer files
replace older ones atomically and keep their timestamps, and one-sided
files are deleted or copied across, as the user chooses. Its messages are
German; it keeps no state and reads no configuration.")
include(CPack)
