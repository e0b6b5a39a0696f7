# Install directories and the helper every program's install rule uses; included before
# the programs' folders, so each of them installs into the same places.
set(CMAKE_INSTALL_DOCDIR share/doc/kassiro CACHE PATH "Guides and examples")
include(GNUInstallDirs)
# The tray program's guide with its pictures; the program finds it from its own folder.
set(KASSIRO_TRAY_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/kassiro-tray)
set(KASSIRO_TRAY_FULL_DOCDIR ${CMAKE_INSTALL_FULL_DATADIR}/doc/kassiro-tray)
file(RELATIVE_PATH KASSIRO_TRAY_DOCDIR_FROM_BIN ${CMAKE_INSTALL_FULL_BINDIR} ${KASSIRO_TRAY_FULL_DOCDIR})
# Installing (and packaging) builds only the installed programs, not every test.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

# Every installed program, so `make install` and `make package` build only these.
add_custom_target(kassiro_programs)

# kassiro_install_program(<target> <component>)
function(kassiro_install_program target component)
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${component})
  add_dependencies(kassiro_programs ${target})
endfunction()

