if(benchmark_FOUND)
  add_executable(audio_bench ${CMAKE_CURRENT_LIST_DIR}/audio_bench.cpp)
  target_link_libraries(audio_bench PRIVATE platform_linux engine benchmark::benchmark)
endif()
