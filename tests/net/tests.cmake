# The interoperability test runs the independent python3 peer beside the test program.
if(TARGET tolvan_net_tests)
    find_package(Python3 COMPONENTS Interpreter REQUIRED)
    target_compile_definitions(tolvan_net_tests PRIVATE
        TOLVAN_PYTHON="${Python3_EXECUTABLE}"
        TOLVAN_INTEROP_PEER="${CMAKE_CURRENT_SOURCE_DIR}/net/interop_peer.py")
endif()
