# The digest benchmark compares against OpenSSL's EVP digests (peer only; the library does not use OpenSSL).
if(TARGET tolvan_hash_bench)
    find_package(OpenSSL REQUIRED)
    target_link_libraries(tolvan_hash_bench PRIVATE OpenSSL::Crypto)
endif()
