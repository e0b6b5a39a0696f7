# `make install` and the Debian packages: the programs, the systemd units, the service
# user, the man pages and the guides. The server package ("server" component) holds
# everything without Qt; programs with a desktop join through kassiro_install_program
# (cmake/InstallDirs.cmake) with a component of their own.
foreach(program kassirod ecrsim ecrscan ecrclient)
  kassiro_install_program(${program} server)
endforeach()

# The units name the installed program, whose path the install prefix decides when the
# files are installed (a package installs under /usr, `make install` under its prefix).
set(KASSIRO_UNIT_SOURCES
  ${PROJECT_SOURCE_DIR}/dist/systemd/kassirod.service.in
  ${PROJECT_SOURCE_DIR}/dist/systemd/kassirod@.service.in)
install(CODE "
  foreach(unit ${KASSIRO_UNIT_SOURCES})
    get_filename_component(name \"\${unit}\" NAME_WLE)
    set(KASSIROD_BIN \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/kassirod\")
    configure_file(\"\${unit}\" \"${PROJECT_BINARY_DIR}/units/\${name}\" @ONLY)
    file(INSTALL \"${PROJECT_BINARY_DIR}/units/\${name}\"
         DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endforeach()
" COMPONENT server)
install(FILES dist/systemd/kassirod.sysusers DESTINATION lib/sysusers.d
        RENAME kassirod.conf COMPONENT server)

install(FILES dist/man/kassirod.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT server)
install(FILES dist/man/ecrsim.1 dist/man/ecrscan.1 dist/man/ecrclient.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT server)
install(FILES README.md docs/protocol.md docs/ecrsim.md docs/ecrclient.md docs/bridge.md
              dist/kassirod.default
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT server)

# The units as they would run the program of this build, for `systemd-analyze verify`.
foreach(unit kassirod.service kassirod@.service)
  file(READ ${PROJECT_SOURCE_DIR}/dist/systemd/${unit}.in text)
  string(REPLACE "@KASSIROD_BIN@" "$<TARGET_FILE:kassirod>" text "${text}")
  file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/units-build/${unit} CONTENT "${text}")
endforeach()

# The tray program, in a package of its own (it pulls in Qt): its desktop entry, icon and
# operator's guide with its pictures.
if(TARGET kassiro)
  kassiro_install_program(kassiro tray)
  install(FILES dist/kassiro.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT tray)
  install(FILES dist/kassiro.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
          COMPONENT tray)
  install(FILES docs/operator.md DESTINATION ${KASSIRO_TRAY_DOCDIR} COMPONENT tray)
  if(EXISTS ${PROJECT_SOURCE_DIR}/docs/operator)  # the guide's pictures (make screenshots)
    install(DIRECTORY docs/operator/ DESTINATION ${KASSIRO_TRAY_DOCDIR}/operator
            COMPONENT tray)
  endif()
endif()
