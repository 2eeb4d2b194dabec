# Sources of zh_app for the file managers: the application's session-bus interface and the requests
# their context menus make (Versions…, Check a File…, Back Up Now), and the small program the menus run.
target_include_directories(zh_app PUBLIC ${CMAKE_CURRENT_LIST_DIR}/files)
target_sources(zh_app PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/files/FileManagerRequests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/files/HandedPath.cpp
  ${CMAKE_CURRENT_LIST_DIR}/files/SessionInterface.cpp
)

# The file managers' entries run this (installed in the program's libexec folder); it needs only the
# bus, so it starts at once.
add_executable(zorvik-hollin-open ${CMAKE_CURRENT_LIST_DIR}/files/zorvik-hollin-open.cpp)
target_link_libraries(zorvik-hollin-open PRIVATE Qt6::Core Qt6::DBus)
