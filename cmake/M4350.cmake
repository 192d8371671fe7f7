# Build helpers shared by every folder.

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

# m4350_add_gtest(<name> LABELS <label>... SOURCES <file>... LIBS <target>...)
# One GoogleTest executable whose cases CTest discovers one by one.

function(m4350_add_gtest name)
    cmake_parse_arguments(ARG "" "TIMEOUT" "LABELS;SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock Threads::Threads)
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 120)
    endif()
    if("capture" IN_LIST ARG_LABELS OR "system" IN_LIST ARG_LABELS)
        add_dependencies(capture_system_tests ${name})
    endif()
    gtest_discover_tests(${name}
        DISCOVERY_TIMEOUT 60
        PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT ${ARG_TIMEOUT})
endfunction()
