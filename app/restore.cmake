# The restore browser (check-box tree, snapshot browsing, download, search) as its own library, so that
# it builds and is tested on its own; zh_app takes it in.
add_library(zh_restore STATIC
  ${CMAKE_CURRENT_LIST_DIR}/restore/ZHTreeNode.cpp
  ${CMAKE_CURRENT_LIST_DIR}/restore/ZHTreeViewController.cpp
  ${CMAKE_CURRENT_LIST_DIR}/restore/RestoreTreeModel.cpp
  ${CMAKE_CURRENT_LIST_DIR}/restore/RestoreViewController.cpp
  ${CMAKE_CURRENT_LIST_DIR}/restore/RestoreExclusionRecord.cpp
  ${CMAKE_CURRENT_LIST_DIR}/restore/SearchController.cpp
  ${CMAKE_CURRENT_LIST_DIR}/restore/RsyncCommand.cpp
  ${CMAKE_CURRENT_LIST_DIR}/restore/VersionsDialog.cpp
  ${CMAKE_CURRENT_LIST_DIR}/restore/RestoreVersions.cpp
  ${CMAKE_CURRENT_LIST_DIR}/restore/ProtectionCheck.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ui/RestoreViewController.ui
  ${CMAKE_CURRENT_LIST_DIR}/ui/SearchController.ui
)
set_target_properties(zh_restore PROPERTIES AUTOMOC ON AUTOUIC ON
  AUTOUIC_SEARCH_PATHS "${CMAKE_CURRENT_LIST_DIR}/ui")
target_include_directories(zh_restore PUBLIC ${CMAKE_CURRENT_LIST_DIR}/restore
  ${CMAKE_CURRENT_BINARY_DIR}/zh_restore_autogen/include)
target_link_libraries(zh_restore PUBLIC zh_common zh_platform zh_index_db Qt6::Widgets Qt6::Concurrent)
target_link_libraries(zh_app PUBLIC zh_restore)
