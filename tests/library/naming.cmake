quill_test(NAME naming_test LABELS saver SOURCES ${CMAKE_CURRENT_LIST_DIR}/naming_test.cpp LIBS library)
