quill_test(NAME mp4_recorder_test LABELS core SOURCES ${CMAKE_CURRENT_LIST_DIR}/mp4_recorder_test.cpp)
