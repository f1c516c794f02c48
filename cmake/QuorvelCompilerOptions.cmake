# Compiler and linker settings that differ between MinGW-w64 (GCC) and MSVC.

# MSVC reads sources in the system's code page unless told otherwise; the sources are UTF-8.
if(MSVC)
    add_compile_options(/utf-8)
endif()

# MinGW-w64's GCC links default-manifest.o into every program when it finds one (MSYS2's
# toolchain has it, Debian's has none). An empty object of that name in a folder searched
# first keeps the executable's version record its only resource.
if(NOT MSVC)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=default-manifest.o
        OUTPUT_VARIABLE quorvel_default_manifest OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(IS_ABSOLUTE "${quorvel_default_manifest}")
        set(QUORVEL_NO_MANIFEST_DIR ${CMAKE_BINARY_DIR}/no-default-manifest)
        file(WRITE ${QUORVEL_NO_MANIFEST_DIR}/empty.cpp "")
        execute_process(COMMAND ${CMAKE_CXX_COMPILER} -c ${QUORVEL_NO_MANIFEST_DIR}/empty.cpp
                -o ${QUORVEL_NO_MANIFEST_DIR}/default-manifest.o
            RESULT_VARIABLE quorvel_stub_result)
        if(NOT quorvel_stub_result EQUAL 0)
            message(FATAL_ERROR "Could not compile the empty default-manifest.o")
        endif()
    endif()
endif()

# Warnings at the highest sensible level; errors where QUORVEL_WERROR asks for them.
function(quorvel_warnings target)
    if(MSVC)
        target_compile_options(${target} PRIVATE /W4 /permissive-)
        if(QUORVEL_WERROR)
            target_compile_options(${target} PRIVATE /WX)
        endif()
    else()
        target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
            -Wno-sign-conversion)
        if(QUORVEL_WERROR)
            target_compile_options(${target} PRIVATE -Werror)
        endif()
    endif()
endfunction()

# The launcher's own code: no exceptions and no run-time type information.
function(quorvel_plain_code target)
    if(MSVC)
        target_compile_options(${target} PRIVATE /GR- /EHs-c-)
        target_compile_definitions(${target} PRIVATE _HAS_EXCEPTIONS=0)
    else()
        target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti)
    endif()
endfunction()

# A console program with a wide entry point (wmain), linked so that it needs no runtime DLL
# beyond the system's own.
function(quorvel_console_program target)
    if(MSVC)
        # No wsetargv.obj: that start-up expands a pattern inside double quotes too; the
        # launcher expands its arguments itself. The linker adds a manifest unless told not to.
        target_link_options(${target} PRIVATE /MANIFEST:NO)
    else()
        # -municode picks wmain; _dowildcard in the launcher keeps the start-up from
        # expanding wildcard patterns.
        target_link_options(${target} PRIVATE -municode -static)
        if(QUORVEL_NO_MANIFEST_DIR)
            target_link_options(${target} PRIVATE -B${QUORVEL_NO_MANIFEST_DIR}/)
        endif()
    endif()
endfunction()
