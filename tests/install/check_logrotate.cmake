# The installed logrotate snippet as logrotate reads it: a dry run (-d) finds no error, and a
# forced rotation of a copy aimed at a scratch folder rotates every trace, compressing one round
# late (the host may still write the newest rotated file until its SIGHUP) and leaving other files.
# Skipped where logrotate is missing.
find_program(LOGROTATE logrotate PATHS /usr/sbin /sbin)
if(NOT LOGROTATE)
  message("skipped: logrotate not installed")
  return()
endif()

set(COMPONENT service)
include(${CMAKE_CURRENT_LIST_DIR}/stage.cmake)
staged_path(snippet_path logrotate.d/sitehost)

function(logrotate)
  execute_process(COMMAND ${LOGROTATE} -s ${stage}/logrotate.state ${ARGN}
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0 OR output MATCHES "error:")
    list(JOIN ARGN " " arguments)
    fail("logrotate ${arguments}:\n${output}")
  endif()
endfunction()
logrotate(-d ${stage}${snippet_path})

file(READ ${stage}${snippet_path} snippet)
string(REPLACE "/var/log/sitehost/" "${stage}/log/" snippet "${snippet}")
file(WRITE ${stage}/scratch.logrotate "${snippet}")
foreach(trace north south)
  file(WRITE ${stage}/log/${trace}.events.jsonl "{\"event\":\"round\",\"round\":1}\n")
endforeach()
file(WRITE ${stage}/log/north.db "not a trace\n")

# Expects exactly these files in the scratch log folder.
function(expect_logs)
  file(GLOB logs RELATIVE ${stage}/log ${stage}/log/*)
  list(SORT logs)
  set(expected ${ARGN})
  list(SORT expected)
  if(NOT logs STREQUAL expected)
    fail("after rotation: ${logs}, expected: ${expected}")
  endif()
endfunction()

logrotate(-f ${stage}/scratch.logrotate)
expect_logs(north.db north.events.jsonl.1 south.events.jsonl.1)
file(WRITE ${stage}/log/north.events.jsonl "{\"event\":\"round\",\"round\":2}\n")
logrotate(-f ${stage}/scratch.logrotate)
expect_logs(north.db north.events.jsonl.1 north.events.jsonl.2.gz south.events.jsonl.1)
file(READ ${stage}/log/north.events.jsonl.1 newest)
if(NOT newest MATCHES "\"round\":2")
  fail("north.events.jsonl.1 holds ${newest}, not the newest trace")
endif()
file(REMOVE_RECURSE ${stage})
