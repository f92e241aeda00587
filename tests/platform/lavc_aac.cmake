quill_test(NAME lavc_aac_test LABELS audio SOURCES ${CMAKE_CURRENT_LIST_DIR}/lavc_aac_test.cpp LIBS engine platform_linux)
