# Locale-dependent formatting: one small program per locale, run with that locale set in
# its environment. ./build.sh deps generates en_US.UTF-8 and de_DE.UTF-8. The main containers
# program stays locale-neutral. (Only LC_ALL is set: a list value would be split by
# gtest_discover_tests into further property names, and LC_ALL overrides LANG anyway.)
set(TOLVAN_LOCALE_TEST_DIR ${CMAKE_CURRENT_LIST_DIR}/locale)

function(tolvan_add_locale_tests exe source)
    add_executable(${exe} ${TOLVAN_LOCALE_TEST_DIR}/${source})
    target_link_libraries(${exe} PRIVATE Tolvan::tolvan GTest::gtest GTest::gtest_main)
    target_include_directories(${exe} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
    tolvan_set_warnings(${exe})
endfunction()

function(tolvan_discover_locale_tests exe prefix locale)
    gtest_discover_tests(${exe}
        TEST_PREFIX "${prefix}."
        DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT 60
        PROPERTIES LABELS containers ENVIRONMENT "LC_ALL=${locale}" TIMEOUT 300)
endfunction()

tolvan_add_locale_tests(tolvan_containers_locale_en_us_tests en_us_test.cpp)
tolvan_discover_locale_tests(tolvan_containers_locale_en_us_tests en_US en_US.UTF-8)

tolvan_add_locale_tests(tolvan_containers_locale_de_de_tests de_de_test.cpp)
tolvan_discover_locale_tests(tolvan_containers_locale_de_de_tests de_DE de_DE.UTF-8)

tolvan_add_locale_tests(tolvan_containers_locale_c_tests c_locale_test.cpp)
tolvan_discover_locale_tests(tolvan_containers_locale_c_tests C C)
tolvan_discover_locale_tests(tolvan_containers_locale_c_tests missing xx_XX.UTF-8)
