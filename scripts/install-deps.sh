#!/usr/bin/env bash
# Installs what building and testing need on a Debian machine, once: the MinGW-w64
# cross compiler, Wine to run the result, CMake, GoogleTest's sources and the static
# checkers.
set -euo pipefail

packages=(g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine wine64 cmake make googletest
    clang-tidy clang-format cppcheck git bsdutils)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
