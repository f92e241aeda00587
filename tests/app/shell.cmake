quill_test(NAME hotkeys_x11_test LABELS shell display SOURCES ${CMAKE_CURRENT_LIST_DIR}/hotkeys_x11_test.cpp
           LIBS platform_linux PkgConfig::XCB)
quill_test(NAME startup_test LABELS shell SOURCES ${CMAKE_CURRENT_LIST_DIR}/startup_test.cpp LIBS app)
quill_test(NAME main_test LABELS shell SOURCES ${CMAKE_CURRENT_LIST_DIR}/main_test.cpp LIBS app)
quill_test(NAME window_test LABELS shell SOURCES ${CMAKE_CURRENT_LIST_DIR}/window_test.cpp LIBS app)
quill_test(NAME window_desktop_test LABELS shell display SOURCES ${CMAKE_CURRENT_LIST_DIR}/window_desktop_test.cpp
           LIBS app PkgConfig::GTK)
