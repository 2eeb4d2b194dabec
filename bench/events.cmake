# Event stream throughput and CPU beside inotifywait (bench/run-all.sh runs it).
add_executable(bench_event_stream ${CMAKE_CURRENT_LIST_DIR}/bench_event_stream.cpp)
target_link_libraries(bench_event_stream PRIVATE zh_platform zh_common)

# The start-up catch-up over a large home beside find -newer (bench/run-all.sh runs it).
add_executable(bench_catch_up ${CMAKE_CURRENT_LIST_DIR}/bench_catch_up.cpp)
target_link_libraries(bench_catch_up PRIVATE zh_daemon)
