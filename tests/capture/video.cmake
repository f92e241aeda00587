quill_test(NAME video_test LABELS capture SOURCES ${CMAKE_CURRENT_LIST_DIR}/video_test.cpp LIBS engine platform_linux)
