quill_test(NAME foreground_test LABELS engine SOURCES ${CMAKE_CURRENT_LIST_DIR}/foreground_test.cpp LIBS engine)
