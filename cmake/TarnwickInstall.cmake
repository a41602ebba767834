# Install layout and the Debian package.
#
#   PREFIX/lib/tarnwick/       Tarnwick-AV, Tarnwick-AS (started by the mail server)
#   PREFIX/sbin/               engine daemons and administration tools
#   PREFIX/share/doc/tarnwick/ guides, PREFIX/share/man/ manual pages
#   /etc/tarnwick/             settings (TARNWICK_CONFDIR)
#   /var/lib/tarnwick/         program directory (TARNWICK_PROGDIR): links to the
#                              programs and their settings, statistics written here
#   /var/lib/tarnwick/milter/  the same for the filters under tarnwick-milter,
#                              with the settings of /etc/tarnwick/milter/
#   /var/spool/tarnwick/       tarnwick-milter's base directory (made by the
#                              package's postinst, TARNWICK_MILTER_BASE)
#   PREFIX/lib/systemd/system/ service files (TARNWICK_SYSTEMD_UNITDIR)
#
# The filters look for their settings and statistics beside the path they are
# started by, so the mail server starts them through the program directory.
include(GNUInstallDirs)

set(TARNWICK_CONFDIR "/etc/tarnwick" CACHE PATH "Directory of the installed settings")
set(TARNWICK_PROGDIR "/var/lib/tarnwick" CACHE PATH
    "Program directory: links to the filters and their settings, statistics")
set(TARNWICK_MILTER_BASE "/var/spool/tarnwick" CACHE PATH
    "Base directory of tarnwick-milter (Queue/, Submitted/, Temp/), made by the package")
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
install(PROGRAMS ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/tarnwick-stats DESTINATION ${CMAKE_INSTALL_SBINDIR})

# Settings an administrator has edited are never overwritten: a differing
# file stays, and the new sample goes beside it as NAME.dist.
# The milter host's filters have settings of their own (local report
# addresses, the milter's base directory) in CONFDIR/milter.
install(CODE "
  foreach(name Tarnwick-AV.cfg Tarnwick-AS.cfg whitelist.txt milter/Tarnwick-AV.cfg
               milter/Tarnwick-AS.cfg)
    set(src \"${PROJECT_SOURCE_DIR}/etc/\${name}\")
    if(name MATCHES \"^milter/\")
      string(REGEX REPLACE \"^milter/\" \"\" file \"\${name}\")
      set(src \"${PROJECT_SOURCE_DIR}/milter/etc/\${file}\")
    endif()
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
install(FILES ${PROJECT_SOURCE_DIR}/docs/milter.md DESTINATION ${TARNWICK_DOCDIR})
file(GLOB TARNWICK_DOC_PICTURES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.png)
install(FILES ${TARNWICK_DOC_PICTURES} DESTINATION ${TARNWICK_DOCDIR})

# Service files of the engine daemons, whatever engines/systemd/ holds, and
# of the milter host where it is built.  The sources name the programs as
# the package installs them (/usr/sbin, /usr/share/doc); they are written
# at install time with the prefix of that install: CPack installs under /usr
# whatever prefix the build tree was configured with, and `make install`
# under PREFIX.
file(GLOB TARNWICK_UNITS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/engines/systemd/*.service)
if(TARGET tarnwick-milter)
  list(APPEND TARNWICK_UNITS ${PROJECT_SOURCE_DIR}/milter/tarnwick-milter.service)
endif()
install(CODE "
  set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
  set(unitdir \"${TARNWICK_SYSTEMD_UNITDIR}\")
  if(NOT IS_ABSOLUTE \"\${unitdir}\")
    set(unitdir \"\${prefix}/\${unitdir}\")
  endif()
  foreach(unit ${TARNWICK_UNITS})
    get_filename_component(name \"\${unit}\" NAME)
    file(READ \"\${unit}\" text)
    string(REPLACE \"/usr/sbin/\" \"\${prefix}/${CMAKE_INSTALL_SBINDIR}/\" text \"\${text}\")
    string(REPLACE \"/usr/share/doc/tarnwick/\" \"\${prefix}/${TARNWICK_DOCDIR}/\" text \"\${text}\")
    file(WRITE \"\$ENV{DESTDIR}\${unitdir}/\${name}\" \"\${text}\")
    message(STATUS \"Installing: \$ENV{DESTDIR}\${unitdir}/\${name}\")
  endforeach()
")
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
  # PROGDIR for the mail server, PROGDIR/milter for tarnwick-milter.
  foreach(sub \"\" /milter)
  set(dir \"\$ENV{DESTDIR}${TARNWICK_PROGDIR}\${sub}\")
  file(MAKE_DIRECTORY \"\${dir}\")
  # An administrator's own copy (or link) stays as it is.
  foreach(prog Tarnwick-AV Tarnwick-AS)
    foreach(pair \"\${prog}|\${CMAKE_INSTALL_PREFIX}/${TARNWICK_LIBEXECDIR}/\${prog}\"
                 \"\${prog}.cfg|${TARNWICK_CONFDIR}\${sub}/\${prog}.cfg\")
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
  endforeach()
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
      "tarnwick-stats|8|docs/man/tarnwick-stats.8.md|tarnwick-stats"
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
      # A built program, or the configured script tools/ puts beside them.
      if(TARGET ${program})
        set(program_file $<TARGET_FILE:${program}>)
        set(program_dep ${program})
      elseif(EXISTS ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${program})
        set(program_file ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${program})
        set(program_dep ${PROJECT_SOURCE_DIR}/tools/${program})
      else()
        continue()
      endif()
      set(markdown ${page}.md)
      set(compose COMMAND ${CMAKE_COMMAND} -DPROGRAM=${program_file}
                          -DBODY=${PROJECT_SOURCE_DIR}/${source} -DOUT=${markdown}
                          -P ${PROJECT_SOURCE_DIR}/cmake/ComposeManPage.cmake)
      list(APPEND depends ${program_dep} ${PROJECT_SOURCE_DIR}/cmake/ComposeManPage.cmake)
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
# A mail host takes only what the filters and engines need: the picture's
# matplotlib (scipy, tk...) and the exporter are suggestions, and nothing
# here may pull a mail transport agent (clamav-freshclam's logrotate wants
# cron, whose Recommends names one: the guide installs Postfix first).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, python3")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "spamd, clamav-freshclam")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3-matplotlib, prometheus-node-exporter, swaks")
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
