# Tests of the restore browser: the check-box tree, listings against the appliance fixture, restore
# downloads, and the search over the index built by the daemon's test host. Widgets run offscreen.
add_executable(restore_tests TreeSelectionTest.cpp RestoreBrowserTest.cpp)
target_link_libraries(restore_tests PRIVATE zh_restore zh_app_testmain zh_testsupport Qt6::Test GTest::gtest GTest::gmock)
target_compile_definitions(restore_tests PRIVATE ZH_PRIVATE_RSYNC="$<TARGET_FILE:ZorvikHollin_ver_001>"
  ZH_DAEMON_HOST="$<TARGET_FILE:zh-daemon-host>")
add_dependencies(restore_tests ZorvikHollin_ver_001 zh-daemon-host tmutil)
gtest_discover_tests(restore_tests DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 600 ENVIRONMENT QT_QPA_PLATFORM=offscreen)

add_executable(zh-screenshots-restore RestoreScreenshots.cpp)
target_link_libraries(zh-screenshots-restore PRIVATE zh_restore zh_testsupport)
