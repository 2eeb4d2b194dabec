# The local index: merge rate against a bare SQLite insert loop, search latency over a large
# master, and a server listing through the whole pipeline with its peak memory.
add_executable(bench_index_merge ${CMAKE_CURRENT_LIST_DIR}/bench_index_merge.cpp)
target_link_libraries(bench_index_merge PRIVATE zh_index SQLite::SQLite3)

add_executable(bench_index_search ${CMAKE_CURRENT_LIST_DIR}/bench_index_search.cpp)
target_link_libraries(bench_index_search PRIVATE zh_index SQLite::SQLite3)

add_executable(bench_index_listing ${CMAKE_CURRENT_LIST_DIR}/bench_index_listing.cpp)
target_link_libraries(bench_index_listing PRIVATE zh_index SQLite::SQLite3)
