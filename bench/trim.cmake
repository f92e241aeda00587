# Whole-process timing of trim against ffmpeg's stream copy; run with bench/trim.sh.
add_executable(trim_bench ${CMAKE_CURRENT_LIST_DIR}/trim_bench.cpp)
target_link_libraries(trim_bench PRIVATE engine platform_linux test_support)
