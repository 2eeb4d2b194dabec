# The file-system event stream: the shared coalescing here, the kernel back ends per platform.
target_sources(zh_platform PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/FileSystemEventStream.h
  ${CMAKE_CURRENT_LIST_DIR}/EventCoalescer.cpp
)
if(ZH_PLATFORM STREQUAL "Linux")
  target_sources(zh_platform PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/linux/DescriptorEventStream.cpp
    ${CMAKE_CURRENT_LIST_DIR}/linux/FanotifyEventStream.cpp
    ${CMAKE_CURRENT_LIST_DIR}/linux/InotifyEventStream.cpp
    ${CMAKE_CURRENT_LIST_DIR}/linux/LinuxEventStreamFactory.cpp
  )
endif()
