# The plug-in: one object library per subsystem, built once and linked into ktr40e.so, the
# tests, the fuzz targets and the benchmarks. Host and jsoncpp symbols stay undefined: the
# loading process provides them.
set(KTR40E_PLUGIN_FLAGS -fvisibility=hidden -fvisibility-inlines-hidden)
set(KTR40E_PLUGIN_PARTS common power ac dc rc plugin)

# A fuzz build instruments the plug-in as it does its fuzz targets.
if(KTR40E_FUZZ)
  set(KTR40E_FUZZ_SANITIZERS address,undefined)
  set(KTR40E_FUZZ_FLAGS -fsanitize=fuzzer-no-link,${KTR40E_FUZZ_SANITIZERS} -fno-sanitize-recover=all
                        -fno-omit-frame-pointer -g)
endif()

set(KTR40E_OBJECTS)
foreach(part IN LISTS KTR40E_PLUGIN_PARTS)
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${part}/*.cpp)
  if(NOT srcs)
    continue()
  endif()
  set(name ktr40e_${part})
  add_library(${name} OBJECT ${srcs})
  target_link_libraries(${name} PUBLIC host_api)
  target_compile_options(${name} PRIVATE ${KTR40E_WARNINGS} ${KTR40E_PLUGIN_FLAGS} ${KTR40E_FUZZ_FLAGS})
  list(APPEND KTR40E_OBJECTS ${name})
endforeach()

add_library(ktr40e SHARED)
foreach(obj IN LISTS KTR40E_OBJECTS)
  target_sources(ktr40e PRIVATE $<TARGET_OBJECTS:${obj}>)
endforeach()
target_link_libraries(ktr40e PRIVATE host_api)
set_target_properties(ktr40e PROPERTIES PREFIX "" OUTPUT_NAME ktr40e SUFFIX ".so"
                      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
target_link_options(ktr40e PRIVATE -Wl,-soname,ktr40e.so -Wl,--as-needed -Wl,-z,now)
