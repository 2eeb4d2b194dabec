# Sources of zh_app for this group of windows: the status window, the Time Machine panel, the header.
target_sources(zh_app PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/StatusController.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TimeMachine.cpp
  ${CMAKE_CURRENT_LIST_DIR}/controls/Header.cpp
)
