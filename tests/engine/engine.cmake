quill_test(NAME shared_test LABELS engine SOURCES ${CMAKE_CURRENT_LIST_DIR}/shared_test.cpp LIBS engine)
quill_test(NAME engine_test LABELS engine SOURCES ${CMAKE_CURRENT_LIST_DIR}/engine_test.cpp LIBS engine)
