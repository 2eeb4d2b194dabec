# The restore window: a download of many files through the window against a bare rsync of the same
# items, and a folder of many entries listed into the outline (needs root, like the appliance fixture).
add_executable(bench_restore ${CMAKE_CURRENT_LIST_DIR}/bench_restore.cpp)
target_link_libraries(bench_restore PRIVATE zh_restore zh_testsupport)
target_compile_definitions(bench_restore PRIVATE ZH_PRIVATE_RSYNC="$<TARGET_FILE:ZorvikHollin_ver_001>")
add_dependencies(bench_restore ZorvikHollin_ver_001)

# "Versions…": one file across many snapshots through the window against a bare wildcard listing.
add_executable(bench_versions ${CMAKE_CURRENT_LIST_DIR}/bench_versions.cpp)
target_link_libraries(bench_versions PRIVATE zh_restore zh_testsupport)
