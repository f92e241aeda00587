quill_test(NAME settings_test LABELS settings SOURCES ${CMAKE_CURRENT_LIST_DIR}/settings_test.cpp LIBS engine)
