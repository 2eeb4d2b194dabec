# Event stream throughput and CPU beside inotifywait (bench/run-all.sh runs it).
add_executable(bench_event_stream ${CMAKE_CURRENT_LIST_DIR}/bench_event_stream.cpp)
target_link_libraries(bench_event_stream PRIVATE zh_platform zh_common)
