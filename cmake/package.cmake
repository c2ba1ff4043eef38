# package.cmake: the installed files: the program, its man page in English
# and in German (man picks the German one where the locale is German) and the
# completion for bash, zsh and fish, each where its shell looks for it.
# The Debian package (debian/) installs the same files through these rules
# and adds the copyright and the changelog.

include(GNUInstallDirs)
install(TARGETS kalvern RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES doc/kalvern.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES doc/de/kalvern.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/de/man1)
install(FILES completion/kalvern.bash
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
  RENAME kalvern)
install(FILES completion/_kalvern
  DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions)
install(FILES completion/kalvern.fish
  DESTINATION ${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d)
