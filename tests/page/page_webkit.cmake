# The real page in the program's own window and view, on the test desktop, over clips made with ffmpeg.
quill_test(NAME webkit_page_test LABELS page display media SOURCES ${CMAKE_CURRENT_LIST_DIR}/webkit_page_test.cpp
           LIBS app PkgConfig::WEBKIT PkgConfig::GTK TIMEOUT 240)
target_compile_definitions(webkit_page_test PRIVATE LAYOUT_CHECK="${CMAKE_CURRENT_LIST_DIR}/layout_check.js"
                           PAGE_SHOTS="${CMAKE_CURRENT_BINARY_DIR}/page-shots")
