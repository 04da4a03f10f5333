# The fuzz targets: fuzz/<name>_fuzz.cpp each. The fuzz build runs them under libFuzzer; every
# test build replays the inputs kept in fuzz/regressions/<name>/ (fuzz/replay.cmake).
set(KTR40E_FUZZ_TARGETS ac_parse dc_parse rc_parse power ac_cache dc_cache rc_cache frame query)

# The sources of one target's own: its entry, and for the frame target the allocation counter,
# which proves that decoding allocates nothing. What the targets share is fuzz/fuzz_support.cpp.
function(ktr40e_fuzz_sources target out)
  set(srcs ${CMAKE_SOURCE_DIR}/fuzz/${target}_fuzz.cpp)
  if(target STREQUAL "frame")
    list(APPEND srcs ${CMAKE_SOURCE_DIR}/tests/shared/allocation_counter.cpp)
  endif()
  set(${out} ${srcs} PARENT_SCOPE)
endfunction()
