quill_test(NAME mp4_journal_test LABELS core SOURCES ${CMAKE_CURRENT_LIST_DIR}/mp4_journal_test.cpp)
