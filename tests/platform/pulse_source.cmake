quill_test(NAME pulse_source_test LABELS audio sound SOURCES ${CMAKE_CURRENT_LIST_DIR}/pulse_source_test.cpp
           LIBS engine platform_linux)
