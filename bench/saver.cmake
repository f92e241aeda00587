# Save latency from full rings (the saver's cut plus the clip writer) against ffmpeg's faststart remux; run with
# bench/saver.sh.
add_executable(saver_bench ${CMAKE_CURRENT_LIST_DIR}/saver_bench.cpp)
target_link_libraries(saver_bench PRIVATE engine platform_linux test_support)
