if(benchmark_FOUND)
  # The X11 probe needs a display: scripts/desktop-session build/bench/foreground_bench
  add_executable(foreground_bench ${CMAKE_CURRENT_LIST_DIR}/foreground_bench.cpp)
  target_link_libraries(foreground_bench PRIVATE engine platform_linux benchmark::benchmark)
endif()
