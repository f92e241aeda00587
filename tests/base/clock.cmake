quill_test(NAME clock_test LABELS engine SOURCES ${CMAKE_CURRENT_LIST_DIR}/clock_test.cpp LIBS base)
