# The backup engine: a run of 10,000 small files and 20 files of 50 MB to the appliance fixture,
# against a bare rsync of the same list in the same process (needs root, like the fixture).
add_executable(bench_backup_run ${CMAKE_CURRENT_LIST_DIR}/bench_backup_run.cpp)
target_link_libraries(bench_backup_run PRIVATE zh_daemon zh_testsupport)
target_include_directories(bench_backup_run PRIVATE ${CMAKE_SOURCE_DIR}/tests/daemon ${CMAKE_SOURCE_DIR}/platform)
target_compile_definitions(bench_backup_run PRIVATE ZH_PRIVATE_RSYNC="$<TARGET_FILE:ZorvikHollin_ver_001>")
add_dependencies(bench_backup_run ZorvikHollin_ver_001)

# The daemon with its standard timings: idle CPU and memory, and the time from a save to the appliance.
add_executable(bench_daemon ${CMAKE_CURRENT_LIST_DIR}/bench_daemon.cpp)
target_link_libraries(bench_daemon PRIVATE zh_daemon zh_testsupport Qt6::DBus)
target_include_directories(bench_daemon PRIVATE ${CMAKE_SOURCE_DIR}/platform)
target_compile_definitions(bench_daemon PRIVATE
  ZH_PRIVATE_RSYNC="$<TARGET_FILE:ZorvikHollin_ver_001>" ZH_TMUTIL="$<TARGET_FILE:tmutil>")
add_dependencies(bench_daemon ZorvikHollin_ver_001 tmutil)
