# The page server: unit tests, the libsoup test host (build/tests/page_host) and outside checks with curl;
# Debian's Chromium plays its clips in the player's tests.
pkg_check_modules(SOUP REQUIRED IMPORTED_TARGET libsoup-3.0)

quill_test(NAME page_server_test LABELS page SOURCES ${CMAKE_CURRENT_LIST_DIR}/page_server_test.cpp LIBS app)

add_executable(page_host ${CMAKE_CURRENT_LIST_DIR}/page_host.cpp)
target_include_directories(page_host PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(page_host PRIVATE app PkgConfig::SOUP PkgConfig::GIO)

add_test(NAME page_host_curl COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/curl_ranges.sh $<TARGET_FILE:page_host>)
set_tests_properties(page_host_curl PROPERTIES LABELS "page" TIMEOUT 120)
