# Application tests of this group of windows: the status window and the Time Machine panel offscreen
# and inside the application controller.
zh_add_app_test(status_window_tests StatusControllerTest.cpp TimeMachinePanelTest.cpp)
