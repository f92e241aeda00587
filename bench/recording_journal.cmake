# The recording journal's cost (10 min of 1080p60 with and without it) and the start-up completion of an hour
# against the normal finish; run with bench/recording_journal.sh.
add_executable(recording_journal_bench ${CMAKE_CURRENT_LIST_DIR}/recording_journal_bench.cpp)
target_link_libraries(recording_journal_bench PRIVATE core)
