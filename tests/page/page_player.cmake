# The player and the glass in Debian's Chromium, on clips made with ffmpeg and served by the test host.
# Screenshots of the player over a white and a black clip, in both themes, stay in page-shots/ of the build.
if(TARGET page_host)
  add_test(NAME page_player COMMAND node --test --test-concurrency=1 ${CMAKE_CURRENT_LIST_DIR}/player.test.mjs)
  set_tests_properties(page_player PROPERTIES LABELS "page;media" TIMEOUT 600
    ENVIRONMENT "PAGE_HOST=$<TARGET_FILE:page_host>;PAGE_SHOTS=${CMAKE_CURRENT_BINARY_DIR}/page-shots")
endif()
