quill_test(NAME x11_pipeline_test LABELS capture display media
           SOURCES ${CMAKE_CURRENT_LIST_DIR}/x11_pipeline_test.cpp ${CMAKE_CURRENT_LIST_DIR}/x11_painter.cpp
           LIBS platform_linux engine PkgConfig::X11 TIMEOUT 600)
