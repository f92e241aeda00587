quill_test(NAME json_text_test LABELS core SOURCES ${CMAKE_CURRENT_LIST_DIR}/json_text_test.cpp)
