quill_test(NAME trim_test LABELS engine SOURCES ${CMAKE_CURRENT_LIST_DIR}/trim_test.cpp LIBS engine platform_linux)
