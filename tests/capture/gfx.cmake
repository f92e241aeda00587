quill_test(NAME gfx_test LABELS capture SOURCES ${CMAKE_CURRENT_LIST_DIR}/gfx_test.cpp LIBS engine)
