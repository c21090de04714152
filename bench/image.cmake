# The imaging benchmark compares against OpenImageIO called directly (the library links it privately).
if(TARGET tolvan_image_bench)
    target_link_libraries(tolvan_image_bench PRIVATE PkgConfig::OpenImageIO)
endif()
