# The backup engine: a run of 10,000 small files and 20 files of 50 MB to the appliance fixture,
# against a bare rsync of the same list in the same process (needs root, like the fixture).
add_executable(bench_backup_run ${CMAKE_CURRENT_LIST_DIR}/bench_backup_run.cpp)
target_link_libraries(bench_backup_run PRIVATE zh_daemon zh_testsupport)
target_include_directories(bench_backup_run PRIVATE ${CMAKE_SOURCE_DIR}/tests/daemon ${CMAKE_SOURCE_DIR}/platform)
target_compile_definitions(bench_backup_run PRIVATE ZH_PRIVATE_RSYNC="$<TARGET_FILE:ZorvikHollin_ver_001>")
add_dependencies(bench_backup_run ZorvikHollin_ver_001)
