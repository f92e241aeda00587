quill_test(NAME capture_clock_test LABELS audio SOURCES ${CMAKE_CURRENT_LIST_DIR}/capture_clock_test.cpp)
