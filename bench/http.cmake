# The HTTP benchmark downloads from the tests' python3 server and runs the curl program as its peer.
if(TARGET tolvan_http_bench)
    target_include_directories(tolvan_http_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests)
endif()
