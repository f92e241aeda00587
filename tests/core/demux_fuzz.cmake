# The reader's libFuzzer target and the tool that writes its seed corpus; built only in the separate clang
# build of scripts/fuzz-demux (QUILL_FUZZ=ON), never by the normal g++ build.
if(QUILL_FUZZ)
  add_executable(demux_fuzz ${CMAKE_CURRENT_LIST_DIR}/demux_fuzz.cpp)
  target_link_libraries(demux_fuzz PRIVATE core)
  target_link_options(demux_fuzz PRIVATE -fsanitize=fuzzer)
  add_executable(demux_fuzz_seeds ${CMAKE_CURRENT_LIST_DIR}/demux_fuzz_seeds.cpp)
  target_link_libraries(demux_fuzz_seeds PRIVATE core)
endif()
