# Peers of the Float4 benchmark: loops over glibc's float functions that GCC vectorises with
# libmvec under -O3 -ffast-math, once for 4-lane SSE and once for 8-lane AVX2. Only these peer
# sources get the fast-math flags; the library and the benchmark itself are built normally.
if(TARGET tolvan_float4_bench)
    foreach(isa IN ITEMS SSE AVX2)
        set(peer tolvan_float4_peer_${isa})
        add_library(${peer} OBJECT ${CMAKE_CURRENT_SOURCE_DIR}/float4_peer.cpp)
        target_compile_definitions(${peer} PRIVATE PEER_KERNELS=LIBMVEC_${isa}_KERNELS)
        if(isa STREQUAL "AVX2")
            target_compile_options(${peer} PRIVATE -O3 -ffast-math -mavx2 -mfma)
        else()
            target_compile_options(${peer} PRIVATE -O3 -ffast-math -msse4.1)
        endif()
        tolvan_set_warnings(${peer})
        target_link_libraries(tolvan_float4_bench PRIVATE ${peer})
    endforeach()
    target_link_libraries(tolvan_float4_bench PRIVATE mvec m)
endif()
