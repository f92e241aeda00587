quill_test(NAME recording_test LABELS saver media SOURCES ${CMAKE_CURRENT_LIST_DIR}/recording_test.cpp LIBS engine platform_linux)
