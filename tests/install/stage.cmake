# Installs BUILD_DIR with its configured PREFIX into a scratch DESTDIR, `stage`: the whole tree,
# or the component COMPONENT alone when it is given. `fail` removes the stage and stops the test.
cmake_minimum_required(VERSION 3.20)
string(RANDOM LENGTH 8 tag)
set(stage /tmp/ktr40e-stage-${tag})
set(installed ${stage}${PREFIX})

function(fail what)
  file(REMOVE_RECURSE ${stage})
  message(FATAL_ERROR "${what}")
endfunction()

set(component_option)
if(COMPONENT)
  set(component_option --component ${COMPONENT})
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${stage}
                        ${CMAKE_COMMAND} --install ${BUILD_DIR} ${component_option}
                RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
  fail("cmake --install failed: ${errors}")
endif()

# The one file under the stage called `name`, as its path on the target system.
function(staged_path out name)
  file(GLOB_RECURSE found LIST_DIRECTORIES false ${stage}/*)
  string(REPLACE "." "\\." pattern "/${name}$")
  list(FILTER found INCLUDE REGEX "${pattern}")
  list(LENGTH found count)
  if(NOT count EQUAL 1)
    fail("${name}: installed ${count} times: ${found}")
  endif()
  string(LENGTH ${stage} stage_length)
  string(SUBSTRING ${found} ${stage_length} -1 path)
  set(${out} ${path} PARENT_SCOPE)
endfunction()
