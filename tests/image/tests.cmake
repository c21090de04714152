# The imaging tests write and read their fixtures with OpenImageIO directly, to compare against it.
foreach(exe IN ITEMS tolvan_image_tests tolvan_image_concurrency_tests)
    if(TARGET ${exe})
        target_link_libraries(${exe} PRIVATE PkgConfig::OpenImageIO)
    endif()
endforeach()
