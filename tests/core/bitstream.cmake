quill_test(NAME bitstream_test LABELS core SOURCES ${CMAKE_CURRENT_LIST_DIR}/bitstream_test.cpp)
