# The desktop beyond the tray: single instance, desktop notifications, the backup-age warning and the
# restore summary.
add_executable(desktop_tests BackupHealthTest.cpp SingleInstanceTest.cpp RestoreSummaryDialogTest.cpp)
target_link_libraries(desktop_tests PRIVATE zh_app_testhost zh_app_testmain Qt6::Test GTest::gtest GTest::gmock)
target_compile_definitions(desktop_tests PRIVATE ZH_APPLICATION="$<TARGET_FILE:ZorvikHollin>")
add_dependencies(desktop_tests ZorvikHollin)
gtest_discover_tests(desktop_tests DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 600 ENVIRONMENT QT_QPA_PLATFORM=offscreen)

# Window-only mode, a notification's text, the "no backup" state and the restore summary, as PNGs.
add_executable(zh-screenshots-desktop DesktopScreenshots.cpp)
target_link_libraries(zh-screenshots-desktop PRIVATE zh_app_testhost)
