quill_test(NAME paths_test LABELS settings SOURCES ${CMAKE_CURRENT_LIST_DIR}/paths_test.cpp LIBS platform_linux)
