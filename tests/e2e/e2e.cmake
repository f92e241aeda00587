# Whole-program tests: the real quillmar binary (and, for what it cannot show from outside, the real start-up
# builder in the test process) under the test desktop with its sound server.
pkg_check_modules(PULSE_SIMPLE REQUIRED IMPORTED_TARGET libpulse-simple)

add_library(e2e_rig STATIC ${CMAKE_CURRENT_LIST_DIR}/program_rig.cpp)
target_link_libraries(e2e_rig PUBLIC test_support PkgConfig::X11 PkgConfig::PULSE_SIMPLE)
target_compile_definitions(e2e_rig PUBLIC QUILLMAR_BINARY="$<TARGET_FILE:quillmar>")
add_dependencies(e2e_rig quillmar)

quill_test(NAME program_e2e_test LABELS e2e display sound media
           SOURCES ${CMAKE_CURRENT_LIST_DIR}/program_test.cpp LIBS e2e_rig TIMEOUT 120)
quill_test(NAME app_e2e_test LABELS e2e display sound media
           SOURCES ${CMAKE_CURRENT_LIST_DIR}/app_test.cpp LIBS e2e_rig app PkgConfig::XCB TIMEOUT 120)
add_executable(sni_watcher ${CMAKE_CURRENT_LIST_DIR}/sni_watcher.cpp)
target_link_libraries(sni_watcher PRIVATE PkgConfig::GIO)
quill_test(NAME window_e2e_test LABELS e2e display SOURCES ${CMAKE_CURRENT_LIST_DIR}/window_e2e_test.cpp LIBS e2e_rig
           TIMEOUT 240)
target_compile_definitions(window_e2e_test PRIVATE SNI_WATCHER="$<TARGET_FILE:sni_watcher>")
add_dependencies(window_e2e_test sni_watcher)
# The clipboard manager of this test grabs keys and publishes desktop settings: it gets a desktop of its own.
add_executable(clipboard_e2e_test ${CMAKE_CURRENT_LIST_DIR}/clipboard_e2e_test.cpp)
target_link_libraries(clipboard_e2e_test PRIVATE e2e_rig GTest::gtest_main)
add_test(NAME clipboard_e2e_test COMMAND ${PROJECT_SOURCE_DIR}/scripts/desktop-session $<TARGET_FILE:clipboard_e2e_test>)
set_tests_properties(clipboard_e2e_test PROPERTIES LABELS "e2e;display" TIMEOUT 180)
