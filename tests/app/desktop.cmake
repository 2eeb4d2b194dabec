# The desktop beyond the tray: single instance, desktop notifications and the backup-age warning.
zh_add_app_test(desktop_tests BackupHealthTest.cpp ProtectionStateTest.cpp SingleInstanceTest.cpp
  FileManagerTest.cpp)
target_compile_definitions(desktop_tests PRIVATE ZH_APPLICATION="$<TARGET_FILE:ZorvikHollin>"
  ZH_OPEN_PROGRAM="$<TARGET_FILE:zorvik-hollin-open>")
add_dependencies(desktop_tests ZorvikHollin zorvik-hollin-open)

# Thunar's context menu in a real desktop session (Xvfb, xfwm4, xfce4-panel, a session bus) with what
# `cmake --install` leaves, laid over /usr in a mount namespace: "Versions…" opens the application's
# window for the clicked file with the application not running and running. Skips (77) without root or
# the desktop's programs.
add_test(NAME filemanager_desktop
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/filemanager-desktop.sh ${CMAKE_BINARY_DIR})
set_tests_properties(filemanager_desktop PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600)
