quill_test(NAME video_pipeline_test LABELS capture SOURCES ${CMAKE_CURRENT_LIST_DIR}/video_pipeline_test.cpp
           LIBS engine)
