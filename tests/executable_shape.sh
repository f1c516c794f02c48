#!/bin/sh
# Checks what the platform sees of quorvel.exe before it runs a line of it: a 64-bit
# console program that imports KERNEL32.dll and msvcrt.dll and nothing else.
objdump=$1
exe=$2
headers=$("$objdump" -p "$exe") || exit 1
status=0

imports=$(printf '%s\n' "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort | tr '\n' ' ')
if [ "$imports" != "KERNEL32.dll msvcrt.dll " ]; then
    echo "imports: expected 'KERNEL32.dll msvcrt.dll', found '$imports'"
    status=1
fi
if ! printf '%s\n' "$headers" | grep -q '^Magic[[:space:]]*020b'; then
    echo "not a PE32+ (64-bit) image"
    status=1
fi
if ! printf '%s\n' "$headers" | grep -q '^Subsystem[[:space:]]*00000003'; then
    echo "not a console-subsystem program"
    status=1
fi
[ $status -eq 0 ] && echo "imports: $imports; PE32+; console subsystem"
exit $status
