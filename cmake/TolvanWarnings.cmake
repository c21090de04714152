# Warning flags shared by the library, its tests, tools and benchmarks.
function(tolvan_set_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
    if(TOLVAN_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()
