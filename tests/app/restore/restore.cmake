# Tests of the restore browser: the check-box tree, listings, snapshots and restore downloads against
# the appliance fixture, and the summary shown before a restore (the search runs end to end in
# app_core_tests). Widgets run offscreen.
zh_add_app_test(restore_tests ${CMAKE_CURRENT_LIST_DIR}/ZHTreeViewControllerTest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/RestoreBrowserTest.cpp ${CMAKE_CURRENT_LIST_DIR}/RestoreSummaryDialogTest.cpp)
