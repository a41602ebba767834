# Install layout and the Debian package.
#
#   PREFIX/lib/tarnwick/       Tarnwick-AV, Tarnwick-AS (started by the mail server)
#   PREFIX/sbin/               engine daemons and administration tools
#   PREFIX/share/doc/tarnwick/ guides, PREFIX/share/man/ manual pages
#   /etc/tarnwick/             settings (TARNWICK_CONFDIR)
#   /var/lib/tarnwick/         program directory (TARNWICK_PROGDIR): links to the
#                              programs and their settings, statistics written here
#   PREFIX/lib/systemd/system/ service files (TARNWICK_SYSTEMD_UNITDIR)
#
# The filters look for their settings and statistics beside the path they are
# started by, so the mail server starts them through the program directory.
include(GNUInstallDirs)

set(TARNWICK_CONFDIR "/etc/tarnwick" CACHE PATH "Directory of the installed settings")
set(TARNWICK_PROGDIR "/var/lib/tarnwick" CACHE PATH
    "Program directory: links to the filters and their settings, statistics")
set(TARNWICK_SYSTEMD_UNITDIR "lib/systemd/system" CACHE PATH
    "Where systemd looks for service files (relative: under the prefix)")
# Relative destinations follow the prefix, also the package's (/usr), which
# CPack sets only when it installs.
set(TARNWICK_LIBEXECDIR "lib/tarnwick")
set(TARNWICK_DOCDIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/tarnwick")

install(TARGETS Tarnwick-AV Tarnwick-AS RUNTIME DESTINATION ${TARNWICK_LIBEXECDIR})
# Daemons and tools; some are built only where their libraries are present,
# others come with later work, so each is installed when its target exists.
foreach(tool quillon-clamd quillon-spamd quillon-check tarnwick-check tarnwick-milter)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
  endif()
endforeach()
install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/tarnwick-stats DESTINATION ${CMAKE_INSTALL_SBINDIR})

# Settings an administrator has edited are never overwritten: a differing
# file stays, and the new sample goes beside it as NAME.dist.
install(CODE "
  foreach(name Tarnwick-AV.cfg Tarnwick-AS.cfg whitelist.txt)
    set(src \"${PROJECT_SOURCE_DIR}/etc/\${name}\")
    set(dst \"\$ENV{DESTDIR}${TARNWICK_CONFDIR}/\${name}\")
    if(EXISTS \"\${dst}\")
      file(SHA256 \"\${src}\" new_sum)
      file(SHA256 \"\${dst}\" old_sum)
      if(NOT new_sum STREQUAL old_sum)
        message(STATUS \"Keeping \${dst}; the new sample is \${dst}.dist\")
        set(dst \"\${dst}.dist\")
      endif()
    endif()
    get_filename_component(dir \"\${dst}\" DIRECTORY)
    file(MAKE_DIRECTORY \"\${dir}\")
    file(COPY_FILE \"\${src}\" \"\${dst}\")
    message(STATUS \"Installing: \${dst}\")
  endforeach()
")

install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/admin.md
              ${PROJECT_SOURCE_DIR}/docs/settings.md
        DESTINATION ${TARNWICK_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/engines/README.md DESTINATION ${TARNWICK_DOCDIR}
        RENAME engines.md)
if(TARGET tarnwick-milter)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/milter.md DESTINATION ${TARNWICK_DOCDIR})
endif()
file(GLOB TARNWICK_DOC_PICTURES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.png)
install(FILES ${TARNWICK_DOC_PICTURES} DESTINATION ${TARNWICK_DOCDIR})

# Service files of the engine daemons, whatever engines/systemd/ holds, and
# of the milter host where it is built.
# The units name the programs as the package installs them (/usr/sbin);
# installed under another prefix, they name that prefix's sbin instead.
file(GLOB TARNWICK_UNITS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/engines/systemd/*.service)
if(TARGET tarnwick-milter)
  list(APPEND TARNWICK_UNITS ${PROJECT_SOURCE_DIR}/milter/tarnwick-milter.service)
endif()
foreach(unit ${TARNWICK_UNITS})
  get_filename_component(unit_name ${unit} NAME)
  file(READ ${unit} unit_text)
  string(REPLACE "/usr/sbin/" "${CMAKE_INSTALL_FULL_SBINDIR}/" unit_text "${unit_text}")
  file(WRITE ${CMAKE_BINARY_DIR}/units/${unit_name} "${unit_text}")
  install(FILES ${CMAKE_BINARY_DIR}/units/${unit_name} DESTINATION ${TARNWICK_SYSTEMD_UNITDIR})
endforeach()
# The exporter every minute, for those who enable it.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/tarnwick-stats.service
              ${PROJECT_SOURCE_DIR}/packaging/tarnwick-stats.timer
        DESTINATION ${TARNWICK_SYSTEMD_UNITDIR})
# /run/tarnwick for the engine sockets, made again at every boot.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/tmpfiles.conf
        DESTINATION lib/tmpfiles.d RENAME tarnwick.conf)

# The program directory with its links.  Absolute targets: the links are read
# on the installed system, wherever DESTDIR staged them.
install(CODE "
  set(dir \"\$ENV{DESTDIR}${TARNWICK_PROGDIR}\")
  file(MAKE_DIRECTORY \"\${dir}\")
  # An administrator's own copy (or link) stays as it is.
  foreach(prog Tarnwick-AV Tarnwick-AS)
    foreach(pair \"\${prog}|\${CMAKE_INSTALL_PREFIX}/${TARNWICK_LIBEXECDIR}/\${prog}\"
                 \"\${prog}.cfg|${TARNWICK_CONFDIR}/\${prog}.cfg\")
      string(REPLACE \"|\" \";\" pair \"\${pair}\")
      list(GET pair 0 name)
      list(GET pair 1 target)
      if(EXISTS \"\${dir}/\${name}\" OR IS_SYMLINK \"\${dir}/\${name}\")
        message(STATUS \"Keeping \${dir}/\${name}\")
      else()
        file(CREATE_LINK \"\${target}\" \"\${dir}/\${name}\" SYMBOLIC)
      endif()
    endforeach()
  endforeach()
  message(STATUS \"Program directory: \${dir}\")
")

# Manual pages, made from the guides' markdown by pandoc where it is
# installed (the package requires it).  A program's page takes its OPTIONS
# section from the program's own option table (cmake/ComposeManPage.cmake),
# so the page lists what --help lists; a program that is not built has no
# page.
option(TARNWICK_REQUIRE_MAN "Fail when pandoc is missing (the package build)" OFF)
find_program(PANDOC pandoc)
if(NOT PANDOC AND TARNWICK_REQUIRE_MAN)
  message(FATAL_ERROR "pandoc is needed for the manual pages: apt-get install pandoc")
endif()
if(PANDOC)
  set(MAN_OUT ${CMAKE_BINARY_DIR}/man)
  set(MAN_PAGES)
  # name|section|markdown source|program whose options fill the page
  set(MAN_LIST
      "Tarnwick-AV|8|docs/man/Tarnwick-AV.8.md|"
      "tarnwick-stats|8|docs/man/tarnwick-stats.8.md|"
      "tarnwick-check|8|docs/man/tarnwick-check.8.md|tarnwick-check"
      "quillon-clamd|8|docs/man/quillon-clamd.8.md|quillon-clamd"
      "quillon-spamd|8|docs/man/quillon-spamd.8.md|quillon-spamd"
      "quillon-check|8|docs/man/quillon-check.8.md|quillon-check"
      "tarnwick-milter|8|docs/man/tarnwick-milter.8.md|tarnwick-milter"
      "Tarnwick-AV.cfg|5|docs/settings.md|")
  foreach(entry ${MAN_LIST})
    string(REPLACE "|" ";" parts "${entry}")
    list(GET parts 0 name)
    list(GET parts 1 section)
    list(GET parts 2 source)
    list(LENGTH parts fields)
    set(program "")
    if(fields GREATER 3)
      list(GET parts 3 program)
    endif()
    set(page ${MAN_OUT}/${name}.${section})
    set(markdown ${PROJECT_SOURCE_DIR}/${source})
    set(compose)
    set(depends ${markdown})
    if(program)
      if(NOT TARGET ${program})
        continue()
      endif()
      set(markdown ${page}.md)
      set(compose COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${program}>
                          -DBODY=${PROJECT_SOURCE_DIR}/${source} -DOUT=${markdown}
                          -P ${PROJECT_SOURCE_DIR}/cmake/ComposeManPage.cmake)
      list(APPEND depends ${program} ${PROJECT_SOURCE_DIR}/cmake/ComposeManPage.cmake)
    endif()
    # Compressed, as Debian keeps its manual pages.  Without smart
    # typography: "--socket" stays two hyphens, never a dash.
    add_custom_command(
      OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${MAN_OUT}
      ${compose}
      COMMAND ${PANDOC} --standalone --from markdown-smart --to man --shift-heading-level-by=-1
              -V title=${name} -V section=${section} -V header=Tarnwick
              -V footer="Tarnwick ${PROJECT_VERSION}" -o ${page} ${markdown}
      COMMAND gzip -9nf ${page}
      DEPENDS ${depends}
      VERBATIM)
    list(APPEND MAN_PAGES ${page}.gz)
    install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  endforeach()
  # One page each serves the twin program and the twin settings file.
  install(FILES ${PROJECT_SOURCE_DIR}/docs/man/Tarnwick-AS.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/man/Tarnwick-AS.cfg.5
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
  add_custom_target(tarnwick_man ALL DEPENDS ${MAN_PAGES})
else()
  message(STATUS "pandoc not found: manual pages are not made (apt-get install pandoc)")
endif()

# Debian package: make package (cpack -G DEB).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarnwick)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tarnwick maintainers <postmaster@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Anti-virus and anti-spam filters for the Velmora mail server")
set(CPACK_PACKAGE_DESCRIPTION
    "Tarnwick-AV has every message scanned by a scan engine and answers the
server with accept, reject, discard or an added header; Tarnwick-AS has
every message rated by an anti-spam engine and answers with score header
lines.  Includes engine daemons for ClamAV (quillon-clamd) and
SpamAssassin (quillon-spamd) and the statistics exporter tarnwick-stats.")
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The build keeps debugging information; the package does not need it.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, python3")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "python3-matplotlib, spamd, clamav-freshclam")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "prometheus-node-exporter")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
configure_file(${PROJECT_SOURCE_DIR}/packaging/conffiles.in ${CMAKE_BINARY_DIR}/packaging/conffiles @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/packaging/postinst.in ${CMAKE_BINARY_DIR}/packaging/postinst @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/packaging/postrm.in ${CMAKE_BINARY_DIR}/packaging/postrm @ONLY)
file(CHMOD ${CMAKE_BINARY_DIR}/packaging/postinst ${CMAKE_BINARY_DIR}/packaging/postrm
     PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_BINARY_DIR}/packaging/conffiles ${CMAKE_BINARY_DIR}/packaging/postinst
    ${CMAKE_BINARY_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
