quill_test(NAME shared_test LABELS engine SOURCES ${CMAKE_CURRENT_LIST_DIR}/shared_test.cpp LIBS engine)
