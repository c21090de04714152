# The interoperability test runs the independent python3 peer beside the test program.
if(TARGET tolvan_net_tests)
    find_package(Python3 COMPONENTS Interpreter REQUIRED)
    target_compile_definitions(tolvan_net_tests PRIVATE
        TOLVAN_PYTHON="${Python3_EXECUTABLE}"
        TOLVAN_INTEROP_PEER="${CMAKE_CURRENT_SOURCE_DIR}/net/interop_peer.py")
endif()

# Legacy::WxSocket against our listener with a real wxSocketClient, when wxWidgets was found.
if(TARGET tolvan_wxsocket AND TOLVAN_BUILD_TESTS)
    add_executable(tolvan_wxsocket_tests ${CMAKE_CURRENT_SOURCE_DIR}/net/wx/wxsocket_test.cpp)
    target_link_libraries(tolvan_wxsocket_tests PRIVATE Tolvan::wxsocket GTest::gtest GTest::gtest_main)
    target_include_directories(tolvan_wxsocket_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
    tolvan_set_warnings(tolvan_wxsocket_tests)
    gtest_discover_tests(tolvan_wxsocket_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
        PROPERTIES LABELS net TIMEOUT 300)
endif()
