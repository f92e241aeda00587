# The page itself in Debian's Chromium, served by the test host from a clips folder made with ffmpeg.
# Screenshots of the library, the capsule, a menu and the empty state stay in page-shots/ of the build.
if(TARGET page_host)
  add_test(NAME page_library COMMAND node --test --test-concurrency=1 ${CMAKE_CURRENT_LIST_DIR}/library.test.mjs)
  set_tests_properties(page_library PROPERTIES LABELS "page;media" TIMEOUT 600
    ENVIRONMENT "PAGE_HOST=$<TARGET_FILE:page_host>;PAGE_SHOTS=${CMAKE_CURRENT_BINARY_DIR}/page-shots")
endif()
