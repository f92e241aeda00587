# Capture benchmarks: the conversion alone (Google Benchmark) and the whole capture + encode process
# against ffmpeg's x11grab (capture_vs_ffmpeg.sh, run under scripts/desktop-session).
if(benchmark_FOUND)
  add_executable(convert_bench ${CMAKE_CURRENT_LIST_DIR}/convert_bench.cpp)
  target_link_libraries(convert_bench PRIVATE platform_linux engine benchmark::benchmark)
endif()
