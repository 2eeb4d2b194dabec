# Application tests of this group of windows: log viewer, feedback report, exclusion editor (offscreen,
# and with the daemon test host), and the screenshot program.
add_executable(windows_tests WindowsLogAndFeedbackTest.cpp ExcludeControllerTest.cpp)
target_link_libraries(windows_tests PRIVATE zh_app zh_app_testmain zh_testsupport GTest::gtest GTest::gmock)
target_include_directories(windows_tests PRIVATE ${CMAKE_SOURCE_DIR}/platform)
target_compile_definitions(windows_tests PRIVATE
  ZH_DAEMON_HOST="$<TARGET_FILE:zh-daemon-host>" ZH_PRIVATE_RSYNC="$<TARGET_FILE:ZorvikHollin_ver_001>")
add_dependencies(windows_tests zh-daemon-host ZorvikHollin_ver_001 tmutil)
gtest_discover_tests(windows_tests DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 600 ENVIRONMENT QT_QPA_PLATFORM=offscreen)

# The windows of this group in the states worth showing, as PNGs into the folder given.
add_executable(zh-screenshots-windows WindowsScreenshots.cpp)
target_link_libraries(zh-screenshots-windows PRIVATE zh_app zh_testsupport)
