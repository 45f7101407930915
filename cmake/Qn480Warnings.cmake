# Strict warnings, as errors, for our own targets only (not for Qt's or GoogleTest's headers).
function(qn480_warnings target)
    target_compile_options(${target} PRIVATE
        -Wall -Wextra -Wpedantic -Werror
        -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual -Wcast-align
        -Wformat=2 -Wformat-security -Wnull-dereference -Wdouble-promotion
        -Wimplicit-fallthrough -Wmisleading-indentation -Wduplicated-cond
        -Wlogical-op)
endfunction()
