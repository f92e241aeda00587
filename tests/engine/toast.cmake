quill_test(NAME toast_x11_test LABELS saver display SOURCES ${CMAKE_CURRENT_LIST_DIR}/toast_x11_test.cpp
           LIBS engine platform_linux PkgConfig::X11)
