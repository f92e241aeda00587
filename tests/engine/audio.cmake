quill_test(NAME audio_test LABELS audio SOURCES ${CMAKE_CURRENT_LIST_DIR}/audio_test.cpp LIBS engine)
quill_test(NAME audio_thread_test LABELS audio SOURCES ${CMAKE_CURRENT_LIST_DIR}/audio_thread_test.cpp LIBS engine)
