quill_test(NAME audio_test LABELS audio SOURCES ${CMAKE_CURRENT_LIST_DIR}/audio_test.cpp LIBS engine)
