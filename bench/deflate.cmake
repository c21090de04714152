# The deflate benchmark compares against zlib's deflate/inflate called directly (the library links zlib
# privately, so the peer links it itself).
if(TARGET tolvan_deflate_bench)
    target_link_libraries(tolvan_deflate_bench PRIVATE ZLIB::ZLIB)
endif()
