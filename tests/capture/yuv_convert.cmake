quill_test(NAME yuv_convert_test LABELS capture SOURCES ${CMAKE_CURRENT_LIST_DIR}/yuv_convert_test.cpp
           LIBS engine platform_linux)
