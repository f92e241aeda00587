if(benchmark_FOUND)
  add_executable(demux_bench ${CMAKE_CURRENT_LIST_DIR}/demux_bench.cpp)
  target_link_libraries(demux_bench PRIVATE core test_support benchmark::benchmark)
endif()
