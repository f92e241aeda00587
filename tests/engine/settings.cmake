quill_test(NAME settings_test LABELS settings
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/settings_test.cpp ${CMAKE_CURRENT_LIST_DIR}/settings_json_test.cpp LIBS engine)
quill_test(NAME settings_durability_test LABELS settings
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/settings_durability_test.cpp LIBS engine ${CMAKE_DL_LIBS})
