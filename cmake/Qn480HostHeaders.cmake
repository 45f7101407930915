# SPDX-License-Identifier: GPL-3.0-or-later
# Debian's header-only libraries for a cross build: copied into a folder of the build that
# holds only them, so that the target's compiler never sees the rest of /usr/include, with a
# package file that find_package takes.
set(QN480_HOST_HEADERS ${CMAKE_BINARY_DIR}/host-headers)
if(NOT EXISTS /usr/include/nlohmann/json.hpp)
    message(FATAL_ERROR "/usr/include/nlohmann is missing (Debian: nlohmann-json3-dev)")
endif()
file(COPY /usr/include/nlohmann DESTINATION ${QN480_HOST_HEADERS}/include)
file(WRITE ${QN480_HOST_HEADERS}/nlohmann_jsonConfig.cmake "
if(NOT TARGET nlohmann_json::nlohmann_json)
    add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
    target_include_directories(nlohmann_json::nlohmann_json SYSTEM INTERFACE
        ${QN480_HOST_HEADERS}/include)
endif()
")
file(WRITE ${QN480_HOST_HEADERS}/nlohmann_jsonConfigVersion.cmake "
set(PACKAGE_VERSION 3.11)
set(PACKAGE_VERSION_COMPATIBLE TRUE)
")
set(nlohmann_json_DIR ${QN480_HOST_HEADERS} CACHE PATH "Debian's nlohmann headers, staged" FORCE)
