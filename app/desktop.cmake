# Sources of zh_app for the desktop beyond the tray: single instance, desktop notifications, the
# backup's health (storage full, failed, no backup for N days), and the restore's summary.
target_include_directories(zh_app PUBLIC ${CMAKE_CURRENT_LIST_DIR}/desktop)
target_sources(zh_app PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/desktop/BackupHealth.cpp
  ${CMAKE_CURRENT_LIST_DIR}/desktop/DesktopNotifier.cpp
  ${CMAKE_CURRENT_LIST_DIR}/desktop/HeldChangesDialog.cpp
  ${CMAKE_CURRENT_LIST_DIR}/desktop/ProtectionMonitor.cpp
  ${CMAKE_CURRENT_LIST_DIR}/desktop/ProtectionPanel.cpp
  ${CMAKE_CURRENT_LIST_DIR}/desktop/ProtectionState.cpp
  ${CMAKE_CURRENT_LIST_DIR}/desktop/SingleInstance.cpp
)
target_sources(zh_restore PRIVATE ${CMAKE_CURRENT_LIST_DIR}/restore/RestoreSummaryDialog.cpp)
