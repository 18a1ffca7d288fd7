# The engine's third-party libraries, linked PUBLIC so its tests and the module get them.
# oneTBB: the work-stealing scheduler behind the worker pool (Debian's libtbb-dev here).
find_package(TBB REQUIRED)
target_link_libraries(merge_engine PUBLIC TBB::tbb)
