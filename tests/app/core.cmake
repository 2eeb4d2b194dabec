# Application tests of the controller, the tray menu and icon, and the log-in window: offscreen over
# the application test host, and with the daemon test host end to end.
add_library(zh_app_testhost STATIC AppTestHost.cpp)
target_link_libraries(zh_app_testhost PUBLIC zh_app zh_testsupport Qt6::DBus)
target_include_directories(zh_app_testhost PUBLIC ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/platform)

add_executable(app_core_tests AppDelegateTest.cpp LoginControllerTest.cpp AppEndToEndTest.cpp)
target_link_libraries(app_core_tests PRIVATE
  zh_app_testhost zh_app_testmain Qt6::Test GTest::gtest GTest::gmock)
target_compile_definitions(app_core_tests PRIVATE
  ZH_DAEMON_HOST="$<TARGET_FILE:zh-daemon-host>" ZH_PRIVATE_RSYNC="$<TARGET_FILE:ZorvikHollin_ver_001>"
  ZH_NOTIFICATION_PEER="$<TARGET_FILE:zh_notification_peer>")
add_dependencies(app_core_tests zh-daemon-host ZorvikHollin_ver_001 tmutil zh_notification_peer)
gtest_discover_tests(app_core_tests DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 600 ENVIRONMENT QT_QPA_PLATFORM=offscreen)

# The log-in window and the tray menus in the states worth showing, as PNGs into the folder given.
add_executable(zh-screenshots-core CoreScreenshots.cpp)
target_link_libraries(zh-screenshots-core PRIVATE zh_app_testhost Qt6::Test)
