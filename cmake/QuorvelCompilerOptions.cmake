# Compiler and linker settings that differ between MinGW-w64 (GCC) and MSVC.

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

# A console program with a wide entry point (wmain) whose arguments have their wildcard
# patterns expanded, linked so that it needs no runtime DLL beyond the system's own.
function(quorvel_console_program target)
    if(MSVC)
        # wsetargv.obj asks the runtime's start-up to expand wildcards; the static
        # runtime leaves KERNEL32 as the only import.
        target_link_options(${target} PRIVATE wsetargv.obj)
        set_property(TARGET ${target} PROPERTY MSVC_RUNTIME_LIBRARY "MultiThreaded")
    else()
        # -municode picks wmain; _dowildcard in the program turns expansion on.
        target_link_options(${target} PRIVATE -municode -static)
    endif()
endfunction()
