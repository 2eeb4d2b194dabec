# Sources of zh_app: the controller, the tray menu and its icon, log-in and appliance discovery.
target_sources(zh_app PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/AppDelegate.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ApplicationWindows.cpp
  ${CMAKE_CURRENT_LIST_DIR}/LoginController.cpp
  ${CMAKE_CURRENT_LIST_DIR}/MenuIconAnimation.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ui/LoginController.ui
  ${CMAKE_CURRENT_LIST_DIR}/resources/tray.qrc
)
