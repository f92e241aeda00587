quill_test(NAME mp4_test LABELS core SOURCES ${CMAKE_CURRENT_LIST_DIR}/mp4_test.cpp)
