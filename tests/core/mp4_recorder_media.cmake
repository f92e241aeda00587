quill_test(NAME mp4_recorder_media_test LABELS core media SOURCES ${CMAKE_CURRENT_LIST_DIR}/mp4_recorder_media_test.cpp)
