# The registry benchmark compares against a plain SQLite prepared statement on the same store file.
if(TARGET tolvan_registry_bench)
    target_link_libraries(tolvan_registry_bench PRIVATE SQLite::SQLite3)
endif()
