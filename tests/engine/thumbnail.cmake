quill_test(NAME thumbnail_test LABELS saver SOURCES ${CMAKE_CURRENT_LIST_DIR}/thumbnail_test.cpp
           LIBS engine platform_linux)
