# Capture benchmarks: the conversion alone (Google Benchmark) and the whole capture + encode process against
# ffmpeg's x11grab (capture_bench, driven by capture_vs_ffmpeg.sh and capture_as_played.sh under
# scripts/desktop-session).
if(benchmark_FOUND)
  add_executable(convert_bench ${CMAKE_CURRENT_LIST_DIR}/convert_bench.cpp)
  target_link_libraries(convert_bench PRIVATE platform_linux engine benchmark::benchmark)
endif()
add_executable(capture_bench ${CMAKE_CURRENT_LIST_DIR}/capture_bench.cpp
               ${PROJECT_SOURCE_DIR}/tests/capture/x11_painter.cpp)
target_include_directories(capture_bench PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(capture_bench PRIVATE app engine platform_linux PkgConfig::X11)
