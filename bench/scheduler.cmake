# The scheduler benchmark compares against oneTBB (peer only, never linked into the library).
if(TARGET tolvan_scheduler_bench)
    find_package(TBB REQUIRED)
    target_link_libraries(tolvan_scheduler_bench PRIVATE TBB::tbb)
endif()
