quill_test(NAME file_io_test LABELS core SOURCES ${CMAKE_CURRENT_LIST_DIR}/file_io_test.cpp)
