# Whole-process timing of the clip writer against ffmpeg's remux and a plain write; run with bench/mp4_write.sh.
add_executable(mp4_write_bench ${CMAKE_CURRENT_LIST_DIR}/mp4_write_bench.cpp)
target_link_libraries(mp4_write_bench PRIVATE core test_support)
