quill_test(NAME api_test LABELS page SOURCES ${CMAKE_CURRENT_LIST_DIR}/api_test.cpp LIBS app)
quill_test(NAME api_desktop_test LABELS page display sound
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/api_desktop_test.cpp
  LIBS app PkgConfig::GIO)
