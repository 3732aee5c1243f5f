# The controller's tree and the package that carries it.
#
#   cmake --install BUILD --prefix STAGING     (or DESTDIR=STAGING cmake --install BUILD)
#
# lays out, below STAGING:
#
#   opt/tarvo_update/bin/tarvo_update    the updater
#   opt/tarvo_update/bin/tarvo_info      the board query
#   opt/tarvo_update/bin/tarvo_recover   finishes interrupted updates at boot
#   opt/tarvo_update/bin/tarvo_dirs      makes the private directories (boot,
#                                        installation)
#   opt/tarvo_update/boot/               its busybox-init script and systemd unit
#   opt/tarvo_update/state/              records of updates in progress, mode 2770
#   opt/tarvo_update/VERSION             the package's version, one line
#   opt/tarvo_update/fw/*.hex            the firmware images
#   opt/tarvo_update/etc/                the settings file's directory
#   opt/tarvo_update/keys/               public keys of trusted image signers,
#                                        mode 0755, empty: images unsigned
#   opt/tarvo_update/www/index.cgi       the web pages, also as set.cgi and
#   opt/tarvo_update/www/set.cgi         slog.cgi (symbolic links to index.cgi:
#   opt/tarvo_update/www/slog.cgi        the program picks its page by its name)
#   var/tarvo_update/                    the lock's and pid file's, mode 2770
#
# The paths are the programs' fixed paths, so the tree is meant to be unpacked at
# the controller's root.  Only the production programs are installed.
#
# The simulated controllers of the fleet and boot tests get the same tree, with
# each program's simulated build in its place: everything but the programs is
# in the component "tree", the programs in "programs", and their simulated
# builds in "sim-programs", which only an explicit
#
#   cmake --install BUILD --prefix STAGING --component tree
#   cmake --install BUILD --prefix STAGING --component sim-programs
#
# installs (scripts/sim_fleet.sh package).  So whatever is added here reaches
# both: a directory or file as it is, a program through the lists below.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX / CACHE PATH "Root of the installed controller tree" FORCE)
endif()

set(TARVO_INSTALL_ROOT opt/tarvo_update)
set(TARVO_INSTALL_BIN ${TARVO_INSTALL_ROOT}/bin)
set(TARVO_INSTALL_FW ${TARVO_INSTALL_ROOT}/fw)
set(TARVO_INSTALL_ETC ${TARVO_INSTALL_ROOT}/etc)
set(TARVO_INSTALL_WWW ${TARVO_INSTALL_ROOT}/www)

# A program of the tree: TARGET (built by tarvo_program) into DESTINATION, and
# TARGET_sim into the same place of the simulated tree.
function(tarvo_install_program target destination)
  install(TARGETS ${target} RUNTIME DESTINATION ${destination} COMPONENT programs)
  install(TARGETS ${target}_sim RUNTIME DESTINATION ${destination} COMPONENT sim-programs
    EXCLUDE_FROM_ALL)
endfunction()

foreach(program tarvo_update tarvo_info tarvo_recover)
  tarvo_install_program(${program} ${TARVO_INSTALL_BIN})
endforeach()
install(PROGRAMS ${CMAKE_SOURCE_DIR}/deploy/boot/S45tarvo_recover
  DESTINATION ${TARVO_INSTALL_ROOT}/boot)
install(PROGRAMS ${CMAKE_SOURCE_DIR}/deploy/boot/tarvo_dirs DESTINATION ${TARVO_INSTALL_BIN})
install(FILES ${CMAKE_SOURCE_DIR}/deploy/boot/tarvo-recover.service
  DESTINATION ${TARVO_INSTALL_ROOT}/boot)

# What a fleet rollout compares to decide whether the package is to be installed.
file(WRITE ${CMAKE_BINARY_DIR}/VERSION "${PROJECT_VERSION}\n")
install(FILES ${CMAKE_BINARY_DIR}/VERSION DESTINATION ${TARVO_INSTALL_ROOT})

# Taken from the source tree when installing, so images added later are included.
install(DIRECTORY ${CMAKE_SOURCE_DIR}/fw/ DESTINATION ${TARVO_INSTALL_FW}
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
  FILES_MATCHING PATTERN "*.hex")

# Empty: the web pages create the settings file in it.
install(DIRECTORY DESTINATION ${TARVO_INSTALL_ETC})

# A directory of the tree with its exact mode: install() knows no sticky bit,
# and a umask may take bits away.
function(tarvo_install_dir dir mode)
  install(DIRECTORY DESTINATION ${dir})
  install(CODE "
    set(dir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${dir}\")
    execute_process(COMMAND chmod ${mode} \"\${dir}\" RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR \"Cannot make \${dir} mode ${mode}\")
    endif()
  ")
endfunction()

# Empty: while it holds no key (*.pub), images are taken unsigned.  Root's
# and writable by nobody else, or the updater trusts no image at all.
set(TARVO_INSTALL_KEYS ${TARVO_INSTALL_ROOT}/keys)
tarvo_install_dir(${TARVO_INSTALL_KEYS} 0755)

# The private directories: the lock's and the pid file's, and the records' of
# updates in progress (kept apart from /var, which many controllers keep in
# RAM: a record must outlive a power loss).  Root's runs and the web pages'
# create their files there, nobody else may look in: mode 2770 here, and
# tarvo_dirs, which the installation and every boot run, gives them to root
# and the group of etc/ (the web server's).
set(TARVO_INSTALL_VAR var/tarvo_update)
set(TARVO_INSTALL_STATE ${TARVO_INSTALL_ROOT}/state)
foreach(dir ${TARVO_INSTALL_VAR} ${TARVO_INSTALL_STATE})
  tarvo_install_dir(${dir} 2770)
endforeach()

if(TARGET index_cgi)
  tarvo_install_program(index_cgi ${TARVO_INSTALL_WWW})
  # The links belong to the tree, which is installed without the programs too.
  install(DIRECTORY DESTINATION ${TARVO_INSTALL_WWW})
  install(CODE "
    set(www \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${TARVO_INSTALL_WWW}\")
    foreach(name set.cgi slog.cgi)
      message(STATUS \"Installing: \${www}/\${name} -> index.cgi\")
      file(REMOVE \"\${www}/\${name}\")
      file(CREATE_LINK index.cgi \"\${www}/\${name}\" SYMBOLIC)
    endforeach()
  ")
endif()

# One archive of the tree, to be unpacked at the controller's root:
# tarvo_update-VERSION-armel.tar.gz from `cpack -G TGZ` (or the `package`
# target) in the target build.
set(CPACK_PACKAGE_NAME tarvo_update)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Field firmware update for TARVO expansion boards")
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(CPACK_SYSTEM_NAME armel)
else()
  set(CPACK_SYSTEM_NAME ${CMAKE_SYSTEM_PROCESSOR})
endif()
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-${CPACK_SYSTEM_NAME})
set(CPACK_GENERATOR TGZ)
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")
include(CPack)
