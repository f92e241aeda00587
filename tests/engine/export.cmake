quill_test(NAME export_test LABELS engine SOURCES ${CMAKE_CURRENT_LIST_DIR}/export_test.cpp LIBS engine platform_linux)
quill_test(NAME edit_media_test LABELS engine media SOURCES ${CMAKE_CURRENT_LIST_DIR}/edit_media_test.cpp
           LIBS engine platform_linux TIMEOUT 900)
