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

# Windows 10 (1507) is the oldest system the binaries are built for: the
# floor a driver signed today can sensibly claim, and the one the INF's
# NTamd64.10.0 models section, the images' subsystem version and the import
# floor check (tests/target) hold it to.
set(M4350_TARGET_WINNT 0x0A00)
set(M4350_TARGET_NTDDI 0x0A000000) # NTDDI_WIN10
set(M4350_TARGET_SUBSYSTEM_VERSION 10.0)
set(M4350_TARGET_OS_LINK_OPTIONS -Wl,--major-os-version,10 -Wl,--minor-os-version,0)

# The package's one version: both images' VERSIONINFO and the INF's DriverVer.
# Raise it for every release.
set(M4350_VERSION 1.0.1.0)
set(M4350_COMPANY "m4350")
string(REPLACE "." "," M4350_VERSION_COMMAS ${M4350_VERSION})

# DriverVer's date is the date of the commit built, not of the build, so that
# two builds of one commit are the same bytes. SOURCE_DATE_EPOCH, when set,
# wins (string(TIMESTAMP) reads it); a tree outside git falls back to today.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
    find_package(Git QUIET)
    if(GIT_FOUND)
        execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
            WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
            OUTPUT_VARIABLE commit_time OUTPUT_STRIP_TRAILING_WHITESPACE
            RESULT_VARIABLE git_status ERROR_QUIET)
        execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --git-path logs/HEAD
            WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
            OUTPUT_VARIABLE head_log OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
        if(git_status EQUAL 0 AND commit_time)
            set(ENV{SOURCE_DATE_EPOCH} ${commit_time})
        endif()
        # A new commit configures again, so the date follows it.
        if(head_log)
            get_filename_component(head_log ${head_log} ABSOLUTE BASE_DIR ${PROJECT_SOURCE_DIR})
            if(EXISTS ${head_log})
                set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${head_log})
            endif()
        endif()
    endif()
endif()
string(TIMESTAMP M4350_DRIVER_DATE "%m/%d/%Y" UTC)

# The header both images' resource scripts take their version fields from.
set(M4350_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/m4350_version.h.in
               ${M4350_GENERATED_DIR}/m4350_version.h @ONLY)

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
enable_language(RC)
add_executable(m4350av_sys $<TARGET_OBJECTS:m4350av_layout>
    ${CMAKE_CURRENT_LIST_DIR}/m4350av.rc)
target_include_directories(m4350av_sys PRIVATE
    $<$<COMPILE_LANGUAGE:RC>:${M4350_GENERATED_DIR}>)
target_link_libraries(m4350av_sys PRIVATE m4350av)
set_target_properties(m4350av_sys PROPERTIES
    OUTPUT_NAME m4350av SUFFIX .sys
    RUNTIME_OUTPUT_DIRECTORY ${M4350_TARGET_OUTPUT_DIR})
target_link_options(m4350av_sys PRIVATE
    -nostdlib -s
    -Wl,--subsystem,native:${M4350_TARGET_SUBSYSTEM_VERSION} ${M4350_TARGET_OS_LINK_OPTIONS}
    -Wl,--entry,DriverEntry -Wl,--undefined,DriverEntry
    -Wl,--exclude-all-symbols -Wl,--gc-sections
    -Wl,--image-base,0x140000000 -Wl,--dynamicbase -Wl,--nxcompat -Wl,--no-insert-timestamp
    # The relocations stay in the image, explicitly: the host loader moves it.
    -Wl,--enable-reloc-section
    -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
    # The map names what the stripped image holds: the checks read the entry
    # symbol and every input section from it. The PDB keeps the public
    # symbols a debugger needs for a crash dump from the field; the image's
    # CodeView record names it. Both stay in the build folder, beside the map.
    -Wl,-Map,${CMAKE_BINARY_DIR}/m4350av.map
    -Wl,--pdb=${CMAKE_BINARY_DIR}/m4350av.pdb)
target_link_libraries(m4350av_sys PRIVATE ntoskrnl ks usbd hal ksguid gcc)

# ---------------------------------------------------------------------------
# m4350proxy.ax

set(CMAKE_CXX_STANDARD 20)

# The Win32/COM headers, with the user-mode half of the glue header.
add_library(m4350_win32 INTERFACE)
target_compile_definitions(m4350_win32 INTERFACE
    M4350_TARGET_USER _WIN32_WINNT=${M4350_TARGET_WINNT} WINVER=${M4350_TARGET_WINNT})
target_compile_options(m4350_win32 INTERFACE
    "$<$<COMPILE_LANGUAGE:CXX>:SHELL:-include ${M4350_TARGET_GLUE}>")

# The type library comes from the IDL; it imports stdole2.tlb, which Wine's
# Windows library folder provides (mingw-w64 ships no system type libraries).
find_program(M4350_WIDL ${M4350_MINGW_TRIPLET}-widl REQUIRED)
find_program(M4350_DLLTOOL ${M4350_MINGW_TRIPLET}-dlltool REQUIRED)
find_path(M4350_WINE_WINDOWS_LIBS stdole2.tlb
    PATHS /usr/lib/x86_64-linux-gnu/wine/x86_64-windows /usr/lib/wine/x86_64-windows
          /usr/lib64/wine/x86_64-windows
    NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT M4350_WINE_WINDOWS_LIBS)
    message(FATAL_ERROR "stdole2.tlb not found: the plug-in's type library imports it from "
                        "Wine (scripts/setup installs wine64)")
endif()

set(proxy_dir ${PROJECT_SOURCE_DIR}/proxy)
set(proxy_gen ${CMAKE_BINARY_DIR}/proxy)
file(MAKE_DIRECTORY ${proxy_gen})
add_custom_command(OUTPUT ${proxy_gen}/m4350proxy.tlb
    COMMAND ${M4350_WIDL} -m64 -t -L ${M4350_WINE_WINDOWS_LIBS}
            -o ${proxy_gen}/m4350proxy.tlb ${proxy_dir}/m4350proxy.idl
    DEPENDS ${proxy_dir}/m4350proxy.idl
    COMMENT "Type library m4350proxy.tlb")

# mingw-w64 has no import library for the streaming proxy: one made from a
# one-line module definition.
file(WRITE ${proxy_gen}/ksproxy.def "LIBRARY ksproxy.ax\nEXPORTS\n    KsSynchronousDeviceControl\n")
add_custom_command(OUTPUT ${proxy_gen}/libksproxy.a
    COMMAND ${M4350_DLLTOOL} -d ${proxy_gen}/ksproxy.def -l ${proxy_gen}/libksproxy.a
    DEPENDS ${proxy_gen}/ksproxy.def
    COMMENT "Import library for ksproxy.ax")
add_custom_target(m4350_ksproxy_import DEPENDS ${proxy_gen}/libksproxy.a)

# m4350proxy.ax: the portable sources (not the host's stand-ins, host_*.cpp,
# such as the type-library data the host loads instead of a resource), the
# exports of the module definition, the type library and version information
# as resources; no C++ or GCC runtime DLL.
file(GLOB proxy_sources CONFIGURE_DEPENDS ${proxy_dir}/*.cpp)
list(FILTER proxy_sources EXCLUDE REGEX "/host_[^/]*\\.cpp$")
add_library(m4350proxy_ax SHARED
    ${proxy_sources} ${proxy_dir}/m4350proxy.def ${proxy_dir}/m4350proxy.rc)
add_dependencies(m4350proxy_ax m4350_ksproxy_import)
set_source_files_properties(${proxy_dir}/m4350proxy.rc PROPERTIES
    OBJECT_DEPENDS ${proxy_gen}/m4350proxy.tlb)
target_include_directories(m4350proxy_ax PRIVATE
    $<$<COMPILE_LANGUAGE:RC>:${proxy_gen};${M4350_GENERATED_DIR};${CMAKE_CURRENT_LIST_DIR}>)
target_link_libraries(m4350proxy_ax PRIVATE m4350_win32)
# The shared method-set header is kernel-style code that only needs <ks.h>:
# here it sees the Win32 one, so the proxy takes its folder but not the
# kernel headers m4350_shared brings.
target_include_directories(m4350proxy_ax PRIVATE ${PROJECT_SOURCE_DIR})
set_target_properties(m4350proxy_ax PROPERTIES
    OUTPUT_NAME m4350proxy PREFIX "" SUFFIX .ax
    RUNTIME_OUTPUT_DIRECTORY ${M4350_TARGET_OUTPUT_DIR}
    LIBRARY_OUTPUT_DIRECTORY ${M4350_TARGET_OUTPUT_DIR})
target_link_options(m4350proxy_ax PRIVATE
    -static-libgcc -static-libstdc++ -s -Wl,--gc-sections
    -Wl,--subsystem,windows:${M4350_TARGET_SUBSYSTEM_VERSION} ${M4350_TARGET_OS_LINK_OPTIONS}
    -Wl,--dynamicbase -Wl,--nxcompat -Wl,--no-insert-timestamp
    -Wl,-Map,${CMAKE_BINARY_DIR}/m4350proxy.map -Wl,--pdb=${CMAKE_BINARY_DIR}/m4350proxy.pdb)
target_link_libraries(m4350proxy_ax PRIVATE
    ${proxy_gen}/libksproxy.a ole32 oleaut32 uuid advapi32 ksguid kernel32)

# ---------------------------------------------------------------------------
# m4350av.inf, beside the two images it installs, its DriverVer stamped

configure_file(${PROJECT_SOURCE_DIR}/inf/m4350av.inf ${M4350_TARGET_OUTPUT_DIR}/m4350av.inf
               @ONLY NEWLINE_STYLE CRLF)

# ---------------------------------------------------------------------------
# Checks

enable_testing()
if(EXISTS "${PROJECT_SOURCE_DIR}/tests/target/CMakeLists.txt")
    add_subdirectory(${PROJECT_SOURCE_DIR}/tests/target ${CMAKE_BINARY_DIR}/tests/target)
endif()
