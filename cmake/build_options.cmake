# Compiler and linker settings shared by both distributions' builds (the class's in the
# repository root, kq5316x's in kq5316x-dist/): C++20, warnings, no C++ exceptions or RTTI, the
# sanitizer build, and linking without a shared C++ runtime.

set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

# A switch over one of the protocol's enums that misses an enumerator is an error, not a
# warning: adding a command, layout or field then shows every place that must handle it.
if(MSVC)
    add_compile_options(/W4 /we4062)
else()
    add_compile_options(-Wall -Wextra -Werror=switch)
endif()

# The modules and the launcher are built without C++ exceptions and run-time type information,
# and their code needs no C++ runtime. The compilers then emit no clean-up code for unwinding:
# when the interpreter ends a thread with pthread_exit at exit, the forced unwinding runs no
# destructor of ours on that thread (one would touch Python objects without the GIL), and no C++
# exception can reach the interpreter.
if(MSVC)
    set(KQ5316_NO_UNWIND_FLAGS /EHs-c- /GR-)
else()
    set(KQ5316_NO_UNWIND_FLAGS -fno-exceptions -fno-rtti)
endif()

# A build for the test suite under AddressSanitizer and UndefinedBehaviorSanitizer. Every
# undefined-behaviour report stops the process, so no report can go unnoticed.
option(KQ5316_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(KQ5316_SANITIZE)
    set(KQ5316_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all
        -fno-omit-frame-pointer)
    add_compile_options(${KQ5316_SANITIZER_FLAGS} -O1 -g)
    add_link_options(${KQ5316_SANITIZER_FLAGS})
endif()

# No target loads a shared C++ runtime: loading libstdc++ (or libc++) would more than double the
# time and memory an import costs. The modules' own code needs nothing from the runtime;
# whatever the simulator needs (strings, maps) is linked in statically, and sections nothing
# refers to are dropped. Sanitizer builds keep the shared runtime, which their own runtime loads
# anyway. This is done on Linux, with its GNU-style linkers: macOS ships libc++ with the system
# (already loaded in every process), and Windows builds use the compiler's own runtime DLLs.
# What is linked in statically stays private to the target (--exclude-libs), so it can neither
# clash with another module's runtime nor lengthen the symbol table the loader processes.
# Each linker option is used where the toolchain takes it: zig's linker (the manylinux build)
# links its own libc++ statically anyway and refuses --exclude-libs.
include(CheckLinkerFlag)
set(KQ5316_STATIC_RUNTIME_LINK_OPTIONS)
foreach(option -static-libstdc++ -static-libgcc LINKER:--gc-sections LINKER:--as-needed
        LINKER:--exclude-libs,ALL)
    string(MAKE_C_IDENTIFIER "KQ5316_LINKER${option}" supported)
    check_linker_flag(CXX "${option}" ${supported})
    if(${supported})
        list(APPEND KQ5316_STATIC_RUNTIME_LINK_OPTIONS "${option}")
    endif()
endforeach()
function(kq5316_without_shared_cxx_runtime target)
    if(NOT KQ5316_SANITIZE AND CMAKE_SYSTEM_NAME STREQUAL "Linux")
        target_compile_options(${target} PRIVATE -ffunction-sections -fdata-sections)
        target_link_options(${target} PRIVATE ${KQ5316_STATIC_RUNTIME_LINK_OPTIONS})
    endif()
endfunction()
