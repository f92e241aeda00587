quill_test(NAME demux_media_test LABELS core media SOURCES ${CMAKE_CURRENT_LIST_DIR}/demux_media_test.cpp)
