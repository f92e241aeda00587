quill_test(NAME trim_test LABELS engine SOURCES ${CMAKE_CURRENT_LIST_DIR}/trim_test.cpp LIBS engine platform_linux)
quill_test(NAME trim_media_test LABELS engine media SOURCES ${CMAKE_CURRENT_LIST_DIR}/trim_media_test.cpp LIBS engine platform_linux)
