# Installs BUILD_DIR into a scratch DESTDIR, runs the installed programs from another folder,
# checks that every RUNPATH is relative to $ORIGIN (none points into the build) and that the
# unit, its user and the logrotate snippet land in folders systemd and logrotate read.
include(${CMAKE_CURRENT_LIST_DIR}/stage.cmake)

foreach(program sitehost ktr40e-sim)
  execute_process(COMMAND ${installed}/bin/${program} --version WORKING_DIRECTORY /
                  RESULT_VARIABLE result OUTPUT_VARIABLE version ERROR_VARIABLE errors)
  if(NOT result EQUAL 0)
    fail("${program} --version from / failed: ${errors}")
  endif()
  if(NOT version MATCHES "^${program} [0-9]+\\.[0-9]+\\.[0-9]+")
    fail("${program} --version printed: ${version}")
  endif()
  execute_process(COMMAND readelf -d ${installed}/bin/${program} OUTPUT_VARIABLE dynamic)
  if(dynamic MATCHES "R(UN)?PATH" AND NOT dynamic MATCHES "\\[\\$ORIGIN/[^]:]*\\]")
    fail("${program} has a RUNPATH not relative to $ORIGIN: ${dynamic}")
  endif()
endforeach()

# Fails unless the installed file `name` lies in one of `folders`.
function(expect_in name what)
  staged_path(path ${name})
  get_filename_component(folder ${path} DIRECTORY)
  if(NOT folder IN_LIST ARGN)
    fail("${name} went to ${folder}, which ${what} does not read (it reads ${ARGN})")
  endif()
endfunction()

staged_path(plugin ktr40e/ktr40e.so)
staged_path(rules share/ktr40e/ktr40e.rules.yml)
staged_path(dashboard share/ktr40e/ktr40e-grafana.json)

set(unit_folders /etc/systemd/system /usr/local/lib/systemd/system /usr/lib/systemd/system /lib/systemd/system)
find_program(SYSTEMD_ANALYZE systemd-analyze)
if(SYSTEMD_ANALYZE)
  execute_process(COMMAND ${SYSTEMD_ANALYZE} unit-paths OUTPUT_VARIABLE paths RESULT_VARIABLE result)
  if(result EQUAL 0)
    string(REGEX REPLACE "\n$" "" paths "${paths}")
    string(REPLACE "\n" ";" unit_folders "${paths}")
  endif()
endif()
expect_in(sitehost@.service systemd ${unit_folders})
expect_in(sitehost.conf systemd-sysusers
          /etc/sysusers.d /run/sysusers.d /usr/local/lib/sysusers.d /usr/lib/sysusers.d /lib/sysusers.d)

# The unit starts the installed host with the installed plug-in.
staged_path(unit_path sitehost@.service)
file(READ ${stage}${unit_path} unit)
if(NOT unit MATCHES "\nExecStart=([^ \n]+) --plugin ([^ \n]+)")
  fail("sitehost@.service starts no host with a plug-in:\n${unit}")
endif()
foreach(started ${CMAKE_MATCH_1} ${CMAKE_MATCH_2})
  if(NOT EXISTS ${stage}${started})
    fail("sitehost@.service names ${started}, which is not installed")
  endif()
endforeach()

set(logrotate_folders /etc/logrotate.d)
if(EXISTS /etc/logrotate.conf)
  file(STRINGS /etc/logrotate.conf includes REGEX "^[ \t]*include[ \t]")
  list(TRANSFORM includes REPLACE "^[ \t]*include[ \t]+([^ \t]+).*" "\\1")
  set(logrotate_folders ${includes})
endif()
expect_in(logrotate.d/sitehost logrotate ${logrotate_folders})

file(REMOVE_RECURSE ${stage})
