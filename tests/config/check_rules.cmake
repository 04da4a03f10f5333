# promtool accepts the shipped alert rules, and its unit tests of them pass. Skipped where
# promtool is missing.
find_program(PROMTOOL promtool)
if(NOT PROMTOOL)
  message("skipped: promtool not installed")
  return()
endif()
foreach(check "check;rules;${SOURCE_DIR}/config/ktr40e.rules.yml"
              "test;rules;${CMAKE_CURRENT_LIST_DIR}/ktr40e.rules.test.yml")
  execute_process(COMMAND ${PROMTOOL} ${check} WORKING_DIRECTORY ${CMAKE_CURRENT_LIST_DIR}
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    string(REPLACE ";" " " command "${check}")
    message(FATAL_ERROR "promtool ${command}:\n${output}")
  endif()
endforeach()
