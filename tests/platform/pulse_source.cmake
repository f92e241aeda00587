quill_test(NAME pulse_source_test LABELS audio sound SOURCES ${CMAKE_CURRENT_LIST_DIR}/pulse_source_test.cpp
           ${PROJECT_SOURCE_DIR}/tests/support/tone_player.cpp LIBS engine platform_linux)
