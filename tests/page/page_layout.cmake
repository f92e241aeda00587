# The page's layout in Debian's Chromium against the test host: the library, settings and player swept from
# 800 to 1920 px wide. A screenshot of each view at each size stays in page-shots/ of the build.
if(TARGET page_host)
  add_test(NAME page_layout COMMAND node --test --test-concurrency=1 ${CMAKE_CURRENT_LIST_DIR}/layout.test.mjs)
  set_tests_properties(page_layout PROPERTIES LABELS "page;media" TIMEOUT 600
    ENVIRONMENT "PAGE_HOST=$<TARGET_FILE:page_host>;PAGE_SHOTS=${CMAKE_CURRENT_BINARY_DIR}/page-shots")
endif()
