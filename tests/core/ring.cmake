quill_test(NAME ring_test LABELS core SOURCES ${CMAKE_CURRENT_LIST_DIR}/ring_test.cpp)
