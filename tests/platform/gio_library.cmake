quill_test(NAME gio_library_test LABELS engine SOURCES ${CMAKE_CURRENT_LIST_DIR}/gio_library_test.cpp
  LIBS engine platform_linux)
