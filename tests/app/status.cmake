# Application tests of this group of windows: the status window and the Time Machine panel offscreen,
# the whole exchange with the daemon test host, and the screenshot program.
add_executable(status_window_tests StatusControllerTest.cpp TimeMachinePanelTest.cpp)
target_link_libraries(status_window_tests PRIVATE zh_app zh_app_testmain zh_testsupport GTest::gtest GTest::gmock)
target_include_directories(status_window_tests PRIVATE ${CMAKE_SOURCE_DIR}/platform)
target_compile_definitions(status_window_tests PRIVATE ZH_TMUTIL="$<TARGET_FILE:tmutil>")
add_dependencies(status_window_tests tmutil)
gtest_discover_tests(status_window_tests DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 600 ENVIRONMENT QT_QPA_PLATFORM=offscreen)

# With the real application controller, and end to end with the daemon's test host and the appliance.
add_executable(status_end_to_end_tests StatusEndToEndTest.cpp)
target_link_libraries(status_end_to_end_tests PRIVATE
  zh_app_testhost zh_app_testmain GTest::gtest GTest::gmock)
target_compile_definitions(status_end_to_end_tests PRIVATE
  ZH_DAEMON_HOST="$<TARGET_FILE:zh-daemon-host>" ZH_PRIVATE_RSYNC="$<TARGET_FILE:ZorvikHollin_ver_001>"
  ZH_TMUTIL="$<TARGET_FILE:tmutil>")
add_dependencies(status_end_to_end_tests zh-daemon-host ZorvikHollin_ver_001 tmutil)
gtest_discover_tests(status_end_to_end_tests DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 600 ENVIRONMENT QT_QPA_PLATFORM=offscreen)

# The status window and the Time Machine panel in their states, as PNGs into the folder given.
add_executable(zh-screenshots-status StatusScreenshots.cpp)
target_link_libraries(zh-screenshots-status PRIVATE zh_app zh_testsupport)
target_compile_definitions(zh-screenshots-status PRIVATE ZH_TMUTIL="$<TARGET_FILE:tmutil>")
add_dependencies(zh-screenshots-status tmutil)
