quill_test(NAME demux_test LABELS core SOURCES ${CMAKE_CURRENT_LIST_DIR}/demux_test.cpp)
