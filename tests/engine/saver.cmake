quill_test(NAME saver_test LABELS saver SOURCES ${CMAKE_CURRENT_LIST_DIR}/saver_test.cpp LIBS engine platform_linux)
