# Sources of zh_app: the controller, the tray menu and its icon, log-in and appliance discovery.
target_sources(zh_app PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/DeploymentSettings.cpp
)
