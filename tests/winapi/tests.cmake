# The registry tests craft foreign and damaged database files with SQLite directly.
if(TARGET tolvan_winapi_tests)
    target_link_libraries(tolvan_winapi_tests PRIVATE SQLite::SQLite3)
endif()
