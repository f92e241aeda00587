# Edits and states of the page that must survive renders, refusals and odd replies, in Debian's Chromium
# against the test host over clips made with ffmpeg.
if(TARGET page_host)
  add_test(NAME page_edits COMMAND node --test --test-concurrency=1 ${CMAKE_CURRENT_LIST_DIR}/edits.test.mjs)
  set_tests_properties(page_edits PROPERTIES LABELS "page;media" TIMEOUT 600
    ENVIRONMENT "PAGE_HOST=$<TARGET_FILE:page_host>;PAGE_SHOTS=${CMAKE_CURRENT_BINARY_DIR}/page-shots")
endif()
