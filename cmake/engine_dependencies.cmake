# The engine's third-party libraries, linked PUBLIC so its tests and the module get them.
# oneTBB: the work-stealing scheduler behind the worker pool (Debian's libtbb-dev here).
# Found quietly: a missing oneTBB gets one message that says what to install, rather than
# CMake's search report.
find_package(TBB QUIET)
if(NOT TBB_FOUND)
  message(FATAL_ERROR
    "oneTBB was not found. Building quillmoor from source needs oneTBB's development files:\n"
    "  Debian, Ubuntu:  sudo apt-get install libtbb-dev   (or: scripts/install_system_deps.sh)\n"
    "  Fedora:          sudo dnf install tbb-devel\n"
    "  conda:           conda install -c conda-forge tbb-devel\n"
    "or set TBB_DIR to the folder of an installed oneTBB's TBBConfig.cmake.\n"
    "The prebuilt wheels carry oneTBB and need none of this.")
endif()
target_link_libraries(merge_engine PUBLIC TBB::tbb)
