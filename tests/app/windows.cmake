# Application tests of this group of windows: log viewer, feedback report, exclusion editor (with the
# daemon test host in app_core_tests), and the screenshot program.
zh_add_app_test(windows_tests LogControllerTest.cpp SendErrorReportTest.cpp ExcludeControllerTest.cpp)
zh_add_screenshots(windows WindowsScreenshots.cpp)
