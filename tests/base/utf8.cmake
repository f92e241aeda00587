quill_test(NAME utf8_test LABELS core SOURCES ${CMAKE_CURRENT_LIST_DIR}/utf8_test.cpp)
