# Application tests of this group of windows: log viewer, feedback report, exclusion editor (with the
# daemon test host in app_core_tests).
zh_add_app_test(windows_tests LogControllerTest.cpp SendErrorReportTest.cpp ExcludeControllerTest.cpp)
