quill_test(NAME threads_test LABELS engine SOURCES ${CMAKE_CURRENT_LIST_DIR}/threads_test.cpp LIBS base)
