quill_test(NAME saver_media_test LABELS saver media SOURCES ${CMAKE_CURRENT_LIST_DIR}/saver_media_test.cpp LIBS engine platform_linux)
