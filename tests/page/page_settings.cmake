# The settings view and the page's look in Debian's Chromium against the test host. Screenshots of the
# settings in both themes join the library's in page-shots/ of the build.
if(TARGET page_host)
  add_test(NAME page_settings COMMAND node --test --test-concurrency=1 ${CMAKE_CURRENT_LIST_DIR}/settings.test.mjs)
  set_tests_properties(page_settings PROPERTIES LABELS "page" TIMEOUT 600
    ENVIRONMENT "PAGE_HOST=$<TARGET_FILE:page_host>;PAGE_SHOTS=${CMAKE_CURRENT_BINARY_DIR}/page-shots")
endif()
