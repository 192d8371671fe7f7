# Build helpers shared by every folder.

# A compiler cache, when the machine has one (scripts/setup installs it). Paths
# under the source tree are hashed relative to it, so a fresh clone of the tree
# elsewhere reuses what an earlier clone compiled; the price is that a cached
# object's debug information names the directory it was first compiled in.
# Precompiled headers (the tests') are cached too. A launcher given by the
# caller (CMAKE_<LANG>_COMPILER_LAUNCHER) wins; -DM4350_CCACHE=OFF turns it off.
option(M4350_CCACHE "Compile through ccache when it is installed" ON)
find_program(M4350_CCACHE_PROGRAM ccache)
if(M4350_CCACHE AND M4350_CCACHE_PROGRAM)
    foreach(lang C CXX)
        if(NOT CMAKE_${lang}_COMPILER_LAUNCHER)
            set(CMAKE_${lang}_COMPILER_LAUNCHER env "CCACHE_BASEDIR=${PROJECT_SOURCE_DIR}"
                CCACHE_NOHASHDIR=true CCACHE_SLOPPINESS=pch_defines,time_macros
                "${M4350_CCACHE_PROGRAM}")
        endif()
    endforeach()
endif()

set(M4350_SANITIZE "" CACHE STRING "Sanitizers: empty, 'address' (ASan+UBSan) or 'thread' (TSan)")

if(M4350_SANITIZE STREQUAL "address")
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                        -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
elseif(M4350_SANITIZE STREQUAL "thread")
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
elseif(NOT M4350_SANITIZE STREQUAL "")
    message(FATAL_ERROR "M4350_SANITIZE must be empty, 'address' or 'thread'")
endif()
# Under the sanitizers GCC 12 reports the standard library's own internals
# (std::regex, std::function) as maybe uninitialised; the warning says
# nothing about our code there.
if(NOT M4350_SANITIZE STREQUAL "" AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-maybe-uninitialized)
endif()

# Kernel code fills its dispatch tables and descriptors with partial
# aggregate initialisers, as the WDK idiom has it: absent entries are null.
add_compile_options(-Wall -Wextra -Wno-unused-parameter -Wno-missing-field-initializers)

# Kernel code (driver/, shared/) follows the kernel's rules: no exceptions, no
# RTTI. The flags are target properties, so a `throw` or a `typeid` in such a
# target is a compile error, not a convention.
function(m4350_kernel_code target)
    target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti)
    set_property(TARGET ${target} PROPERTY M4350_KERNEL_CODE TRUE)
endfunction()

# Every test executable of the capture and system suites, which the tsan
# preset builds and runs.
add_custom_target(capture_system_tests)

# m4350_add_gtest(<name> LABELS <label>... SOURCES <file>... LIBS <target>...
#                 [IMAGE_FILTER <gtest filter>])
# One GoogleTest executable whose cases CTest discovers one by one. With
# IMAGE_FILTER the cases it selects are registered a second time, as
# image.<case> with the label `image`, run against the target build's
# m4350av.sys (M4350_DRIVER_IMAGE_PATH) loaded into the host kernel.

# The image the `image` label loads: the windows preset's, beside this tree's
# builds. scripts/test builds it before it runs the label.
set(M4350_DRIVER_IMAGE_PATH "${PROJECT_SOURCE_DIR}/build/windows/bin/m4350av.sys"
    CACHE FILEPATH "The m4350av.sys the image-labelled tests load")

# Without a compiler cache, every test executable reuses one precompiled
# header of GoogleTest and the standard headers most tests include: parsing
# them was about a third of a test file's compile time. With the cache it is
# left out: GCC's .gch files differ from build to build, and ccache hashes the
# header a file is compiled with, so no test file compiled with one would ever
# be found in the cache again.
if(M4350_CCACHE AND M4350_CCACHE_PROGRAM)
    option(M4350_TEST_PCH "Precompiled header for the tests" OFF)
else()
    option(M4350_TEST_PCH "Precompiled header for the tests" ON)
endif()

function(m4350_test_pch name)
    if(NOT M4350_TEST_PCH)
        return()
    endif()
    if(TARGET m4350_test_pch)
        target_precompile_headers(${name} REUSE_FROM m4350_test_pch)
        return()
    endif()
    # An executable, so the header is compiled with the tests' own code model
    # flags (-fPIE); GCC ignores a header made with other ones.
    file(WRITE "${CMAKE_BINARY_DIR}/m4350_test_pch.cpp" "int main() { return 0; }\n")
    add_executable(m4350_test_pch "${CMAKE_BINARY_DIR}/m4350_test_pch.cpp")
    target_link_libraries(m4350_test_pch PRIVATE GTest::gtest Threads::Threads)
    target_precompile_headers(m4350_test_pch PRIVATE
        <gtest/gtest.h> <algorithm> <atomic> <chrono> <cstdint> <cstdio> <cstring> <filesystem>
        <fstream> <functional> <map> <memory> <mutex> <optional> <sstream> <string> <thread>
        <vector>)
    target_precompile_headers(${name} REUSE_FROM m4350_test_pch)
endfunction()

function(m4350_add_gtest name)
    cmake_parse_arguments(ARG "" "TIMEOUT;IMAGE_FILTER" "LABELS;SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest Threads::Threads)
    m4350_test_pch(${name})
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 120)
    endif()
    if("capture" IN_LIST ARG_LABELS OR "system" IN_LIST ARG_LABELS)
        add_dependencies(capture_system_tests ${name})
    endif()
    gtest_discover_tests(${name}
        DISCOVERY_TIMEOUT 60
        PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT ${ARG_TIMEOUT})
    # The image is never run under ThreadSanitizer: it sees none of the
    # image's own memory accesses (see README).
    if(ARG_IMAGE_FILTER AND NOT M4350_SANITIZE STREQUAL "thread")
        gtest_discover_tests(${name}
            DISCOVERY_TIMEOUT 60
            TEST_PREFIX "image."
            TEST_FILTER "${ARG_IMAGE_FILTER}"
            PROPERTIES LABELS image TIMEOUT ${ARG_TIMEOUT}
                       ENVIRONMENT "M4350_DRIVER_IMAGE=${M4350_DRIVER_IMAGE_PATH}")
    endif()
endfunction()
