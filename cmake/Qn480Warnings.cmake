# SPDX-License-Identifier: GPL-3.0-or-later
# Strict warnings, as errors, for our own targets only (not for Qt's or GoogleTest's headers).
# Some options only GCC knows; MSVC has a set of its own.
function(qn480_warnings target)
    if(MSVC)
        target_compile_options(${target} PRIVATE /W4 /permissive- /utf-8)
        target_compile_definitions(${target} PRIVATE _CRT_SECURE_NO_WARNINGS)
        return()
    endif()
    target_compile_options(${target} PRIVATE
        -Wall -Wextra -Wpedantic -Werror
        -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual -Wcast-align
        -Wformat=2 -Wformat-security -Wnull-dereference -Wdouble-promotion
        -Wimplicit-fallthrough -Wmisleading-indentation)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        target_compile_options(${target} PRIVATE -Wduplicated-cond -Wlogical-op)
    endif()
    # MinGW's GCC 12 trips these on its own std::string and streambuf (GCC bug 105329).
    if(WIN32 AND CMAKE_CROSSCOMPILING)
        target_compile_options(${target} PRIVATE -Wno-restrict -Wno-null-dereference)
    endif()
endfunction()
