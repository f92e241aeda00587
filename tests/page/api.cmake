quill_test(NAME api_test LABELS page
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/api_test.cpp ${CMAKE_CURRENT_LIST_DIR}/api_settings_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/api_rig.cpp
  LIBS app)
