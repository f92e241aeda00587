quill_test(NAME settings_test LABELS settings
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/settings_json_test.cpp LIBS library)
quill_test(NAME settings_durability_test LABELS settings
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/settings_durability_test.cpp LIBS library ${CMAKE_DL_LIBS})
