# Sources of zh_app for this group of windows: log viewer, feedback report, exclusion editor and the
# custom controls they are drawn with.
target_sources(zh_app PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/controls/Blackview.cpp
  ${CMAKE_CURRENT_LIST_DIR}/controls/CustomButtonCell.cpp
  ${CMAKE_CURRENT_LIST_DIR}/controls/CustomButtonWithImage.cpp
  ${CMAKE_CURRENT_LIST_DIR}/controls/CustomTableColumn.cpp
  ${CMAKE_CURRENT_LIST_DIR}/controls/CustomTableView.cpp
  ${CMAKE_CURRENT_LIST_DIR}/controls/ImageAndTextCell.cpp
  ${CMAKE_CURRENT_LIST_DIR}/controls/WindowsResources.cpp
  ${CMAKE_CURRENT_LIST_DIR}/controls/ZHCustomBox.cpp
  ${CMAKE_CURRENT_LIST_DIR}/LogController.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SendErrorReport.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SynchronousWrapper.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ExcludeController.cpp
  ${CMAKE_CURRENT_LIST_DIR}/resources/windows/windows.qrc
)
