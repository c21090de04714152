# Stack traces name functions through the dynamic symbol table: export the test program's symbols.
if(TARGET tolvan_platform_tests)
    set_target_properties(tolvan_platform_tests PROPERTIES ENABLE_EXPORTS ON)
    # The default debug-output sink, chosen from the environment at first use, appending to a file.
    add_test(NAME platform.DebugOutputFile
        COMMAND tolvan_platform_tests --gtest_filter=DebugOutputFile.*)
    set_tests_properties(platform.DebugOutputFile PROPERTIES
        ENVIRONMENT "KALVEX_DEBUG_OUTPUT=${CMAKE_CURRENT_BINARY_DIR}/debug_output.txt"
        LABELS platform)
    # A debug-output file that cannot be opened by any user: a directory.
    add_test(NAME platform.DebugOutputUnwritable
        COMMAND tolvan_platform_tests --gtest_filter=DebugOutputUnwritable.*)
    set_tests_properties(platform.DebugOutputUnwritable PROPERTIES
        ENVIRONMENT "KALVEX_DEBUG_OUTPUT=${CMAKE_CURRENT_BINARY_DIR}"
        LABELS platform)
endif()
