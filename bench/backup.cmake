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

# The whole daemon as a process of its own, with standard or short timings, for the benchmarks below.
add_executable(bench_daemon_host ${CMAKE_CURRENT_LIST_DIR}/bench_daemon_host.cpp)
target_link_libraries(bench_daemon_host PRIVATE zh_daemon Qt6::DBus)
target_include_directories(bench_daemon_host PRIVATE ${CMAKE_SOURCE_DIR}/platform ${CMAKE_SOURCE_DIR}/tests/daemon/host)
target_compile_definitions(bench_daemon_host PRIVATE ZH_TMUTIL="$<TARGET_FILE:tmutil>")

# The first backup of a home through the whole daemon against a bare rsync -a of the same home.
add_executable(bench_first_backup ${CMAKE_CURRENT_LIST_DIR}/bench_first_backup.cpp)
target_link_libraries(bench_first_backup PRIVATE zh_daemon zh_testsupport Qt6::DBus)
target_include_directories(bench_first_backup PRIVATE ${CMAKE_SOURCE_DIR}/platform)
target_compile_definitions(bench_first_backup PRIVATE ZH_BENCH_DAEMON_HOST="$<TARGET_FILE:bench_daemon_host>")
# What a first start finds: the installed programs.
add_dependencies(bench_first_backup bench_daemon_host ZorvikHollinWatcher ZorvikHollin_ver_001 tmutil)

# Many daemons against one appliance of 4 connections, at once and one after another.
add_executable(bench_many_clients ${CMAKE_CURRENT_LIST_DIR}/bench_many_clients.cpp)
target_link_libraries(bench_many_clients PRIVATE zh_daemon zh_testsupport Qt6::DBus)
target_include_directories(bench_many_clients PRIVATE ${CMAKE_SOURCE_DIR}/platform)
target_compile_definitions(bench_many_clients PRIVATE ZH_BENCH_DAEMON_HOST="$<TARGET_FILE:bench_daemon_host>")
add_dependencies(bench_many_clients bench_daemon_host ZorvikHollinWatcher ZorvikHollin_ver_001 tmutil)

# A home of a million files: the daemon's peak memory and how soon the first byte leaves.
add_executable(bench_large_home ${CMAKE_CURRENT_LIST_DIR}/bench_large_home.cpp)
target_link_libraries(bench_large_home PRIVATE zh_daemon zh_testsupport Qt6::DBus)
target_include_directories(bench_large_home PRIVATE ${CMAKE_SOURCE_DIR}/platform)
target_compile_definitions(bench_large_home PRIVATE ZH_BENCH_DAEMON_HOST="$<TARGET_FILE:bench_daemon_host>")
add_dependencies(bench_large_home bench_daemon_host ZorvikHollinWatcher ZorvikHollin_ver_001 tmutil)
