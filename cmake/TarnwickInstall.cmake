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

# Every installed file and directory has its mode from here, whatever the
# modes of the source tree (a tree unpacked from a release tarball has its
# files 0664) and the umask of whoever builds: install(FILES) gives 0644,
# install(PROGRAMS) and install(TARGETS) 0755, directories made on the way
# 0755, and what the install code below writes itself it sets explicitly.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(TARNWICK_FILE_MODE OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(CODE "
  # A directory and the parents it lacks, each made 0755 (file(INSTALL)
  # does so itself).
  function(tarnwick_make_directory dir)
    if(NOT IS_DIRECTORY \"\${dir}\")
      get_filename_component(parent \"\${dir}\" DIRECTORY)
      tarnwick_make_directory(\"\${parent}\")
      file(MAKE_DIRECTORY \"\${dir}\")
      file(CHMOD \"\${dir}\" PERMISSIONS ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
    endif()
  endfunction()
")

set(TARNWICK_CONFDIR "/etc/tarnwick" CACHE PATH "Directory of the installed settings")
set(TARNWICK_PROGDIR "/var/lib/tarnwick" CACHE PATH
    "Program directory: links to the filters and their settings, statistics")
set(TARNWICK_MILTER_BASE "/var/spool/tarnwick" CACHE PATH
    "Base directory of tarnwick-milter (Queue/, Submitted/, Temp/), made by the package")
set(TARNWICK_MILTER_DEFAULTS "/etc/default/tarnwick-milter" CACHE FILEPATH
    "tarnwick-milter's options, read by its unit (OPTIONS=...)")
set(TARNWICK_SYSTEMD_UNITDIR "lib/systemd/system" CACHE PATH
    "Where systemd looks for service files (relative: under the prefix)")
# Relative destinations follow the prefix, also the package's (/usr), which
# CPack sets only when it installs.
set(TARNWICK_LIBEXECDIR "lib/tarnwick")
set(TARNWICK_DOCDIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/tarnwick")

install(TARGETS Tarnwick-AV Tarnwick-AS RUNTIME DESTINATION ${TARNWICK_LIBEXECDIR})
set(TARNWICK_ELF_PROGRAMS ${TARNWICK_LIBEXECDIR}/Tarnwick-AV ${TARNWICK_LIBEXECDIR}/Tarnwick-AS)
# Daemons and tools; some are built only where their libraries are present,
# others come with later work, so each is installed when its target exists.
foreach(tool quillon-clamd quillon-spamd quillon-rspamd quillon-check tarnwick-check tarnwick-milter)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
    list(APPEND TARNWICK_ELF_PROGRAMS ${CMAKE_INSTALL_SBINDIR}/${tool})
  endif()
endforeach()
install(PROGRAMS ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/tarnwick-stats DESTINATION ${CMAKE_INSTALL_SBINDIR})
# A stripped install (the package's) drops the compiler's .comment too, as
# Debian's dh_strip does; the strip of install(TARGETS) keeps it.
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    foreach(program ${TARNWICK_ELF_PROGRAMS})
      execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment
                              \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${program}\"
                      RESULT_VARIABLE failed)
      if(failed)
        message(FATAL_ERROR \"cannot strip .comment from \${program}\")
      endif()
    endforeach()
  endif()
")

# Settings an administrator has edited are never overwritten: a differing
# file stays, and the new sample goes beside it as NAME.dist.
# The milter host's filters have settings of their own (local report
# addresses, the milter's base directory) and a whitelist of their own in
# CONFDIR/milter; the host's options are in /etc/default, as Debian's
# peers keep theirs.  Each entry: installed path|source in the tree.
set(TARNWICK_SAMPLES
    "${TARNWICK_CONFDIR}/Tarnwick-AV.cfg|etc/Tarnwick-AV.cfg"
    "${TARNWICK_CONFDIR}/Tarnwick-AS.cfg|etc/Tarnwick-AS.cfg"
    "${TARNWICK_CONFDIR}/whitelist.txt|etc/whitelist.txt"
    "${TARNWICK_CONFDIR}/milter/Tarnwick-AV.cfg|milter/etc/Tarnwick-AV.cfg"
    "${TARNWICK_CONFDIR}/milter/Tarnwick-AS.cfg|milter/etc/Tarnwick-AS.cfg"
    "${TARNWICK_CONFDIR}/milter/whitelist.txt|etc/whitelist.txt")
if(TARGET tarnwick-milter)
  list(APPEND TARNWICK_SAMPLES "${TARNWICK_MILTER_DEFAULTS}|milter/tarnwick-milter.default")
endif()
install(CODE "
  foreach(entry ${TARNWICK_SAMPLES})
    string(REPLACE \"|\" \";\" entry \"\${entry}\")
    list(GET entry 0 name)
    list(GET entry 1 src)
    set(src \"${PROJECT_SOURCE_DIR}/\${src}\")
    set(dst \"\$ENV{DESTDIR}\${name}\")
    if(EXISTS \"\${dst}\")
      file(SHA256 \"\${src}\" new_sum)
      file(SHA256 \"\${dst}\" old_sum)
      if(NOT new_sum STREQUAL old_sum)
        message(STATUS \"Keeping \${dst}; the new sample is \${dst}.dist\")
        set(name \"\${name}.dist\")
      endif()
    endif()
    # file(INSTALL) puts DESTDIR before the directory itself.
    get_filename_component(dir \"\${name}\" DIRECTORY)
    get_filename_component(leaf \"\${name}\" NAME)
    file(INSTALL \"\${src}\" DESTINATION \"\${dir}\" RENAME \"\${leaf}\" PERMISSIONS ${TARNWICK_FILE_MODE})
  endforeach()
")

install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/admin.md
              ${PROJECT_SOURCE_DIR}/docs/settings.md
        DESTINATION ${TARNWICK_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/engines/README.md DESTINATION ${TARNWICK_DOCDIR}
        RENAME engines.md)
install(FILES ${PROJECT_SOURCE_DIR}/docs/milter.md ${PROJECT_SOURCE_DIR}/docs/scale.md
        DESTINATION ${TARNWICK_DOCDIR})
# Alerting rules for the site's Prometheus: an example, not a conffile.
# They belong on the monitoring host, which is seldom a mail host, and
# Debian's prometheus reads only the rule files its prometheus.yml names.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/prometheus/tarnwick-rules.yml
        DESTINATION ${TARNWICK_DOCDIR}/examples/prometheus)
file(GLOB TARNWICK_DOC_PICTURES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.png)
install(FILES ${TARNWICK_DOC_PICTURES} DESTINATION ${TARNWICK_DOCDIR})

# Service files of the engine daemons, whatever engines/systemd/ holds, of
# the milter host where it is built, and of the exporter.  The sources name
# the files as the package installs them (/usr/sbin, /usr/lib/tarnwick,
# /usr/share/doc, /etc/default); they are written at install time with the
# prefix of that install: CPack installs under /usr whatever prefix the
# build tree was configured with, and `make install` under PREFIX.
file(GLOB TARNWICK_UNITS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/engines/systemd/*.service)
if(TARGET tarnwick-milter)
  list(APPEND TARNWICK_UNITS ${PROJECT_SOURCE_DIR}/milter/tarnwick-milter.service
                             ${PROJECT_SOURCE_DIR}/milter/tarnwick-milter.socket)
endif()
# The exporter every minute, where node-exporter's collector directory is.
list(APPEND TARNWICK_UNITS ${PROJECT_SOURCE_DIR}/packaging/tarnwick-stats.service
                           ${PROJECT_SOURCE_DIR}/packaging/tarnwick-stats.timer)
install(CODE "
  set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
  set(unitdir \"${TARNWICK_SYSTEMD_UNITDIR}\")
  if(NOT IS_ABSOLUTE \"\${unitdir}\")
    set(unitdir \"\${prefix}/\${unitdir}\")
  endif()
  tarnwick_make_directory(\"\$ENV{DESTDIR}\${unitdir}\")
  foreach(unit ${TARNWICK_UNITS})
    get_filename_component(name \"\${unit}\" NAME)
    file(READ \"\${unit}\" text)
    string(REPLACE \"/usr/sbin/\" \"\${prefix}/${CMAKE_INSTALL_SBINDIR}/\" text \"\${text}\")
    string(REPLACE \"/usr/share/doc/tarnwick/\" \"\${prefix}/${TARNWICK_DOCDIR}/\" text \"\${text}\")
    string(REPLACE \"/usr/lib/tarnwick/\" \"\${prefix}/${TARNWICK_LIBEXECDIR}/\" text \"\${text}\")
    string(REPLACE \"/etc/default/tarnwick-milter\" \"${TARNWICK_MILTER_DEFAULTS}\" text \"\${text}\")
    file(WRITE \"\$ENV{DESTDIR}\${unitdir}/\${name}\" \"\${text}\")
    file(CHMOD \"\$ENV{DESTDIR}\${unitdir}/\${name}\" PERMISSIONS ${TARNWICK_FILE_MODE})
    message(STATUS \"Installing: \$ENV{DESTDIR}\${unitdir}/\${name}\")
  endforeach()
")
# quillon-clamd's unit waits with it for freshclam's first signatures.
install(PROGRAMS ${PROJECT_SOURCE_DIR}/packaging/wait-for-signatures
        DESTINATION ${TARNWICK_LIBEXECDIR})
# /run/tarnwick for the engine sockets, made again at every boot.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/tmpfiles.conf
        DESTINATION lib/tmpfiles.d RENAME tarnwick.conf)

# The program directory with its links.  Absolute targets: the links are read
# on the installed system, wherever DESTDIR staged them.
install(CODE "
  # PROGDIR for the mail server, PROGDIR/milter for tarnwick-milter.
  foreach(sub \"\" /milter)
  set(dir \"\$ENV{DESTDIR}${TARNWICK_PROGDIR}\${sub}\")
  tarnwick_make_directory(\"\${dir}\")
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
      "quillon-rspamd|8|docs/man/quillon-rspamd.8.md|quillon-rspamd"
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
  foreach(twin Tarnwick-AS.8 Tarnwick-AS.cfg.5)
    string(REGEX REPLACE ".*\\." "" section ${twin})
    add_custom_command(
      OUTPUT ${MAN_OUT}/${twin}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${MAN_OUT}
      COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/docs/man/${twin} > ${MAN_OUT}/${twin}.gz
      DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/${twin}
      VERBATIM)
    list(APPEND MAN_PAGES ${MAN_OUT}/${twin}.gz)
    install(FILES ${MAN_OUT}/${twin}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  endforeach()
  add_custom_target(tarnwick_man ALL DEPENDS ${MAN_PAGES})
else()
  message(STATUS "pandoc not found: manual pages are not made (apt-get install pandoc)")
endif()

# Debian package: make package (cpack -G DEB).  CPack rather than
# debhelper: the build, the install layout and the units are already
# CMake's, and what debhelper would add (the systemd snippets, compressed
# pages and changelogs, the copyright file) is a few lines here.
set(TARNWICK_MAINTAINER "Tarnwick Developers <tarnwick-devel@example.org>" CACHE STRING
    "Maintainer field of the package: name and address of whoever distributes it")
set(TARNWICK_DEBIAN_REVISION 1 CACHE STRING "Debian revision of the package version")
set(TARNWICK_LICENSE "other" CACHE STRING "License short name in the copyright file")
set(TARNWICK_LICENSE_TEXT
    "The terms of distribution are not stated in the source tree; ask the authors."
    CACHE STRING "License text in the copyright file")
set(TARNWICK_PACKAGE_VERSION ${PROJECT_VERSION}-${TARNWICK_DEBIAN_REVISION})

# Debian's documentation files: the machine-readable copyright file, the
# release notes as changelog.gz and the package's own changelog.
set(PKG_OUT ${CMAKE_BINARY_DIR}/packaging)
configure_file(${PROJECT_SOURCE_DIR}/packaging/copyright.in ${PKG_OUT}/copyright @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.Debian.in ${PKG_OUT}/changelog.Debian
               @ONLY)
add_custom_command(
  OUTPUT ${PKG_OUT}/changelog.gz ${PKG_OUT}/changelog.Debian.gz
  COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/docs/changelog.md > ${PKG_OUT}/changelog.gz
  COMMAND gzip -9nc ${PKG_OUT}/changelog.Debian > ${PKG_OUT}/changelog.Debian.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/docs/changelog.md ${PKG_OUT}/changelog.Debian
  VERBATIM)
add_custom_target(tarnwick_package_docs ALL
                  DEPENDS ${PKG_OUT}/changelog.gz ${PKG_OUT}/changelog.Debian.gz)
install(FILES ${PKG_OUT}/copyright ${PKG_OUT}/changelog.gz ${PKG_OUT}/changelog.Debian.gz
        DESTINATION ${TARNWICK_DOCDIR})
# What lintian says of the package and why it stands: the file names each.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME tarnwick)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarnwick)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${TARNWICK_DEBIAN_REVISION})
set(CPACK_PACKAGE_CONTACT "${TARNWICK_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TARNWICK_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Anti-virus and anti-spam filters for the Velmora mail server")
set(CPACK_PACKAGE_DESCRIPTION
    "Tarnwick-AV has every message scanned by a scan engine and answers the
server with accept, reject, discard or an added header; Tarnwick-AS has
every message rated by an anti-spam engine and answers with score header
lines.  tarnwick-milter runs both behind Postfix or Sendmail.  Includes
engine daemons for ClamAV (quillon-clamd), SpamAssassin (quillon-spamd,
with spamd) and rspamd (quillon-rspamd: install rspamd, start
quillon-rspamd and point Tarnwick-AS's Socket at it), and the statistics
exporter tarnwick-stats.")
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
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3-matplotlib, prometheus-node-exporter, swaks, rspamd")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The files an administrator edits are dpkg's conffiles: kept over
# upgrades (dpkg asks about a changed sample), removed by purge.
set(conffiles)
foreach(entry ${TARNWICK_SAMPLES})
  string(REGEX REPLACE "\\|.*" "" path "${entry}")
  string(APPEND conffiles "${path}\n")
endforeach()
file(WRITE ${PKG_OUT}/conffiles "${conffiles}")
# The units the package enables (and starts where their prerequisites are
# there); the exporter's service is started by its timer.
set(TARNWICK_ENABLED_UNITS)
foreach(unit ${TARNWICK_UNITS})
  get_filename_component(name ${unit} NAME)
  if(NOT name STREQUAL "tarnwick-stats.service")
    list(APPEND TARNWICK_ENABLED_UNITS ${name})
  endif()
endforeach()
string(REPLACE ";" " " TARNWICK_ENABLED_UNITS "${TARNWICK_ENABLED_UNITS}")
set(TARNWICK_SCRIPTS)
foreach(script postinst prerm postrm)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/${script}.in ${PKG_OUT}/${script} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
  list(APPEND TARNWICK_SCRIPTS ${PKG_OUT}/${script})
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PKG_OUT}/conffiles ${TARNWICK_SCRIPTS})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
