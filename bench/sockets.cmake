# The socket benchmark compares compressed transfers against zlib's deflate called directly (the library
# links zlib privately, so the benchmark links it itself).
if(TARGET tolvan_sockets_bench)
    target_link_libraries(tolvan_sockets_bench PRIVATE ZLIB::ZLIB)
endif()
