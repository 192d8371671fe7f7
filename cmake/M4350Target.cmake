# The Windows target build (preset `windows`, toolchain
# toolchain-mingw-w64-x86_64.cmake): the same driver/, shared/ and proxy/
# sources as the host build, compiled against mingw-w64's DDK and Win32
# headers into m4350av.sys and m4350proxy.ax, plus the INF. Nothing of
# platform/ takes part. The checks on the results are tests/target (label
# `target`); they run on the build machine.

if(NOT CMAKE_CROSSCOMPILING OR NOT MINGW)
    message(FATAL_ERROR "M4350_TARGET_WINDOWS needs the mingw-w64 toolchain: "
                        "cmake --preset windows")
endif()

set(M4350_TARGET_GLUE ${CMAKE_CURRENT_LIST_DIR}/target_glue.h)
set(M4350_MINGW_ROOT /usr/${M4350_MINGW_TRIPLET})
set(M4350_TARGET_OUTPUT_DIR ${CMAKE_BINARY_DIR}/bin)

# Windows 7 is the oldest system the binaries are built for.
set(M4350_TARGET_WINNT 0x0601)
set(M4350_TARGET_NTDDI 0x06010000)

# The kernel headers: what driver/ and shared/ see as <wdm.h>, <ks.h>,
# <usbdlib.h> and the like, with the glue header in front of every source.
# Host folders link the same target name to platform/include.
add_library(m4350_wdk INTERFACE)
target_include_directories(m4350_wdk SYSTEM INTERFACE ${M4350_MINGW_ROOT}/include/ddk)
target_compile_definitions(m4350_wdk INTERFACE
    M4350_TARGET_KERNEL _WIN32_WINNT=${M4350_TARGET_WINNT} NTDDI_VERSION=${M4350_TARGET_NTDDI})
target_compile_options(m4350_wdk INTERFACE "SHELL:-include ${M4350_TARGET_GLUE}")

# Kernel code has no C runtime: no stack protector (nothing would set up its
# cookie). Each function and datum gets its own section, so the linker drops
# what DriverEntry cannot reach.
target_compile_options(m4350_wdk INTERFACE -fno-stack-protector)
add_compile_options(-ffunction-sections -fdata-sections)

# CMake appends the platform's default Win32 libraries to every link; each
# target binary names exactly the libraries it imports from.
set(CMAKE_C_STANDARD_LIBRARIES "")
set(CMAKE_CXX_STANDARD_LIBRARIES "")

find_package(Python3 REQUIRED COMPONENTS Interpreter)

# ---------------------------------------------------------------------------
# m4350av.sys

set(CMAKE_CXX_STANDARD 17)
foreach(dir shared driver)
    if(EXISTS "${PROJECT_SOURCE_DIR}/${dir}/CMakeLists.txt")
        add_subdirectory(${PROJECT_SOURCE_DIR}/${dir} ${CMAKE_BINARY_DIR}/${dir})
    endif()
endforeach()
# As in the host build, the driver compiles the shared method-set definitions in.
if(TARGET m4350_shared)
    target_link_libraries(m4350av PUBLIC m4350_shared)
endif()

# The driver's own sizes and layouts hold against the real headers: the same
# records our host headers assert, compiled here with the driver's flags. A
# wrong size fails the build, not a test.
add_library(m4350av_layout OBJECT ${PROJECT_SOURCE_DIR}/tests/target/kernel_layout.cpp)
target_link_libraries(m4350av_layout PRIVATE m4350_wdk)
if(TARGET m4350_shared)
    target_link_libraries(m4350av_layout PRIVATE m4350_shared)
endif()
m4350_kernel_code(m4350av_layout)

# A native image: entry DriverEntry, no CRT, no exports, no static
# constructors (nothing would run them), imports only from the kernel, the
# streaming class, the USB driver interface and the HAL. libgcc supplies the
# stack probe for large frames and is linked statically.
add_executable(m4350av_sys $<TARGET_OBJECTS:m4350av_layout>)
target_link_libraries(m4350av_sys PRIVATE m4350av)
set_target_properties(m4350av_sys PROPERTIES
    OUTPUT_NAME m4350av SUFFIX .sys
    RUNTIME_OUTPUT_DIRECTORY ${M4350_TARGET_OUTPUT_DIR})
target_link_options(m4350av_sys PRIVATE
    -nostdlib -s
    -Wl,--subsystem,native:6.1 -Wl,--major-os-version,6 -Wl,--minor-os-version,1
    -Wl,--entry,DriverEntry -Wl,--undefined,DriverEntry
    -Wl,--exclude-all-symbols -Wl,--gc-sections
    -Wl,--image-base,0x140000000 -Wl,--dynamicbase -Wl,--nxcompat
    -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
    # The map names what the stripped image holds: the checks read the entry
    # symbol and every input section from it.
    -Wl,-Map,${CMAKE_BINARY_DIR}/m4350av.map)
target_link_libraries(m4350av_sys PRIVATE ntoskrnl ks usbd hal ksguid gcc)

# ---------------------------------------------------------------------------
# m4350proxy.ax

set(CMAKE_CXX_STANDARD 20)
include(${CMAKE_CURRENT_LIST_DIR}/M4350TargetProxy.cmake OPTIONAL)

# ---------------------------------------------------------------------------
# m4350av.inf, beside the two images it installs

add_custom_command(OUTPUT ${M4350_TARGET_OUTPUT_DIR}/m4350av.inf
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/inf/m4350av.inf
            ${M4350_TARGET_OUTPUT_DIR}/m4350av.inf
    DEPENDS ${PROJECT_SOURCE_DIR}/inf/m4350av.inf)
add_custom_target(m4350av_inf ALL DEPENDS ${M4350_TARGET_OUTPUT_DIR}/m4350av.inf)

# ---------------------------------------------------------------------------
# Checks

enable_testing()
if(EXISTS "${PROJECT_SOURCE_DIR}/tests/target/CMakeLists.txt")
    add_subdirectory(${PROJECT_SOURCE_DIR}/tests/target ${CMAKE_BINARY_DIR}/tests/target)
endif()
