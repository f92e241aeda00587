# The test draws its own windows with XCB, so it links XCB itself.
quill_test(NAME x11_foreground_test LABELS engine display SOURCES ${CMAKE_CURRENT_LIST_DIR}/x11_foreground_test.cpp
  LIBS engine platform_linux PkgConfig::XCB)
