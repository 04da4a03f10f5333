# Which way the folders depend: the line depends on nothing of the project; the simulator on
# the line; the host services on the line and the host API; the store on the host services;
# then the site file, the completed round, the trace, the outputs and the run, each on those
# before it; commissioning (site/discover) on the line and the site file.
# host/ (the host API the plug-in is built against) and bytes/ (the one bounds-checked reader)
# stand alone; the plug-in and the stand-in host share only those two.
# Fails with every #include that points the other way.
# Run as: cmake -DSOURCE_DIR=<repository> -P check_includes.cmake
cmake_minimum_required(VERSION 3.16)

set(offending "")

# Every quoted #include in `folder` (and below) must not match `forbidden`, unless it matches
# EXCEPT_INCLUDE or stands in EXCEPT_FILE (the host program's main, which makes the built-in
# simulators).
function(forbid folder forbidden)
  cmake_parse_arguments(arg "" "EXCEPT_FILE;EXCEPT_INCLUDE" "" ${ARGN})
  file(GLOB_RECURSE sources RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/${folder}/*.h ${SOURCE_DIR}/${folder}/*.cpp)
  foreach(source IN LISTS sources)
    if(source STREQUAL "${arg_EXCEPT_FILE}")
      continue()
    endif()
    file(STRINGS ${SOURCE_DIR}/${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(include IN LISTS includes)
      if(include MATCHES "${forbidden}" AND NOT (arg_EXCEPT_INCLUDE AND include MATCHES "${arg_EXCEPT_INCLUDE}"))
        string(APPEND offending "\n  ${source}: ${include}")
      endif()
    endforeach()
  endforeach()
  set(offending "${offending}" PARENT_SCOPE)
endfunction()

forbid(line "\"(site|sim|cmdline|host|common|bytes)/")
forbid(bytes "\"[^\"]*/")
# The plug-in and the stand-in host share only host/ and bytes/.
foreach(plugin_folder common ac dc rc power plugin)
  forbid(${plugin_folder} "\"(site|line|sim|cmdline)/")
endforeach()
forbid(site "\"(common|ac|dc|rc|power|plugin)/")
forbid(cmdline "\"(site|sim|line)/")
forbid(sim "\"site/")
forbid(site "\"sim/" EXCEPT_FILE site/app/main.cpp)
# The stand-in host's rooms, lowest first: each includes only the rooms before it.
forbid(site/host "\"site/(store|config|round|trace|outputs|run|app|discover)/")
forbid(site/store "\"site/(config|round|trace|outputs|run|app|discover)/")
forbid(site/config "\"site/(round|trace|outputs|run|app|discover)/")
forbid(site/round "\"site/(trace|outputs|run|app|discover)/")
forbid(site/trace "\"site/(outputs|run|app|discover)/")
forbid(site/outputs "\"site/(run|app|discover)/")
forbid(site/run "\"site/(app|discover)/")
forbid(site/discover "\"site/(host|store|round|trace|outputs|run|app)/")
forbid(host "\"[^\"]*/" EXCEPT_INCLUDE "\"host/")

if(offending)
  message(FATAL_ERROR "includes against the direction of the folders:${offending}")
endif()
