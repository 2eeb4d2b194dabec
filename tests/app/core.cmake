# Application tests of the controller, the tray menu and icon, and the log-in window: offscreen over
# the application test host, and with the daemon test host end to end.
add_library(zh_app_testhost STATIC AppTestHost.cpp)
target_link_libraries(zh_app_testhost PUBLIC zh_app zh_testsupport Qt6::DBus)
target_include_directories(zh_app_testhost PUBLIC ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/platform)

zh_add_app_test(app_core_tests AppDelegateTest.cpp LoginControllerTest.cpp AppEndToEndTest.cpp)
# The real program, ended by a signal as a session's end does.
target_compile_definitions(app_core_tests PRIVATE ZH_APPLICATION="$<TARGET_FILE:ZorvikHollin>")
add_dependencies(app_core_tests ZorvikHollin)
