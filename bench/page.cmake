if(benchmark_FOUND)
  add_executable(page_bench ${CMAKE_CURRENT_LIST_DIR}/page_bench.cpp)
  target_link_libraries(page_bench PRIVATE app test_support benchmark::benchmark)
endif()
