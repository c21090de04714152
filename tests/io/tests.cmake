# The pack tests make their packs with the writer of tools/.
target_link_libraries(tolvan_io_tests PRIVATE tolvan_packwriter)
target_link_libraries(tolvan_io_concurrency_tests PRIVATE tolvan_packwriter)
