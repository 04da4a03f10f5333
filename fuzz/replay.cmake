# A test per fuzz target that runs its entry outside libFuzzer over every input kept in
# fuzz/regressions/<target>/, in the build's own instrumentation (none, or the sanitizers). The
# folder is read when the test runs: an input dropped there fails the next test run.
include(${CMAKE_SOURCE_DIR}/fuzz/targets.cmake)

add_library(fuzz_replay STATIC ${CMAKE_SOURCE_DIR}/fuzz/fuzz_support.cpp ${CMAKE_SOURCE_DIR}/fuzz/replay_main.cpp)
target_link_libraries(fuzz_replay PUBLIC sitecore)
target_compile_options(fuzz_replay PRIVATE ${KTR40E_WARNINGS})

foreach(target IN LISTS KTR40E_FUZZ_TARGETS)
  ktr40e_fuzz_sources(${target} srcs)
  add_executable(replay_${target} ${srcs})
  target_link_libraries(replay_${target} PRIVATE ${KTR40E_OBJECTS} fuzz_replay)
  target_compile_options(replay_${target} PRIVATE ${KTR40E_WARNINGS})
  add_test(NAME fuzz_regressions_${target}
           COMMAND replay_${target} ${CMAKE_SOURCE_DIR}/fuzz/regressions/${target})
endforeach()
