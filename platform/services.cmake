# Platform services: notification centers, console user, login items and user defaults.
target_sources(zh_platform PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/NotificationObservers.cpp
  ${CMAKE_CURRENT_LIST_DIR}/InProcessNotificationCenter.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DistributedNotificationCenter.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ConsoleUserSource.cpp
  ${CMAKE_CURRENT_LIST_DIR}/LoginItems.cpp
  ${CMAKE_CURRENT_LIST_DIR}/UserDefaults.cpp
)
if(ZH_PLATFORM STREQUAL "Linux")
  target_sources(zh_platform PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/linux/DBusNotificationCenter.cpp
    ${CMAKE_CURRENT_LIST_DIR}/linux/LogindConsoleUserSource.cpp
    ${CMAKE_CURRENT_LIST_DIR}/linux/XdgAutostartLoginItems.cpp
  )
  target_link_libraries(zh_platform PRIVATE PkgConfig::SYSTEMD)
endif()
target_link_libraries(zh_platform PUBLIC Qt6::DBus zh_protocol)
