# Tests of the restore browser: the check-box tree, listings, snapshots and restore downloads against
# the appliance fixture, what a restore keeps out of the backup, the summary shown before a restore,
# and the window without an appliance (listing lines, the default destination, the help, a search over
# a busy, missing or large index; the search over the daemon's own index runs end to end in
# app_core_tests). Widgets run offscreen.
zh_add_app_test(restore_tests ${CMAKE_CURRENT_LIST_DIR}/ZHTreeViewControllerTest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/RestoreBrowserTest.cpp ${CMAKE_CURRENT_LIST_DIR}/RestoreSummaryDialogTest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/RestoreWindowTest.cpp ${CMAKE_CURRENT_LIST_DIR}/VersionsTest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ProtectionCheckTest.cpp ${CMAKE_CURRENT_LIST_DIR}/RestoreExclusionRecordTest.cpp)

# "Check a File…" against the states the whole system builds: the daemon's test host backing up the
# fixture user's home to the appliance fixture, the application's side on the same private bus.
zh_add_app_test(protection_check_end_to_end_tests ${CMAKE_CURRENT_LIST_DIR}/ProtectionCheckEndToEndTest.cpp)
