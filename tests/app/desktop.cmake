# The desktop beyond the tray: single instance, desktop notifications and the backup-age warning.
zh_add_app_test(desktop_tests BackupHealthTest.cpp ProtectionStateTest.cpp SingleInstanceTest.cpp)
target_compile_definitions(desktop_tests PRIVATE ZH_APPLICATION="$<TARGET_FILE:ZorvikHollin>")
add_dependencies(desktop_tests ZorvikHollin)
