# Whole-process timing of the light copy against the ffmpeg command line; run with bench/light_copy.sh.
add_executable(light_copy_bench ${CMAKE_CURRENT_LIST_DIR}/light_copy_bench.cpp)
target_link_libraries(light_copy_bench PRIVATE engine platform_linux test_support)
