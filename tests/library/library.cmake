quill_test(NAME library_test LABELS engine
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/library_test.cpp ${CMAKE_CURRENT_LIST_DIR}/library_edits_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/library_autostart_test.cpp
  LIBS library)
