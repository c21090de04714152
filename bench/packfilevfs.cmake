# The pack benchmark writes its pack with the pack writer of tools/.
if(TARGET tolvan_packfilevfs_bench)
    target_link_libraries(tolvan_packfilevfs_bench PRIVATE tolvan_packwriter)
endif()
