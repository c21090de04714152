# The registry tests craft foreign and damaged database files with SQLite directly.
if(TARGET tolvan_winapi_tests)
    target_link_libraries(tolvan_winapi_tests PRIVATE SQLite::SQLite3)
endif()

# Resources embedded into the test program, found again through WinApi::getFileResourceData.
include(${PROJECT_SOURCE_DIR}/cmake/TolvanEmbedResources.cmake)
if(TARGET tolvan_winapi_tests)
    string(REPEAT "0123456789" 300 long_text)
    tolvan_embed_resources(tolvan_winapi_tests
        FILES   hello.txt ${CMAKE_CURRENT_LIST_DIR}/data/hello.txt
                "Every Byte.bin" ${CMAKE_CURRENT_LIST_DIR}/data/bytes.bin
                empty.bin ${CMAKE_CURRENT_LIST_DIR}/data/empty.bin
        STRINGS 101 "Rendering finished"
                102 "Grüße; \"quoted\" \\ and a tab:\t."
                103 "${long_text}"
                104 ""
                -5 "negative")
endif()
