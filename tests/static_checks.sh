#!/bin/sh
# The static checks the code is held to; any finding fails.
#   static_checks.sh clang-tidy SOURCE_DIR BUILD_DIR CXX_COMPILER
#   static_checks.sh cppcheck SOURCE_DIR
#   static_checks.sh clang-format SOURCE_DIR
check=$1
source_dir=$2
cd "$source_dir" || exit 1

case "$check" in
clang-tidy)
    build_dir=$3
    compiler=$4
    # clang parses for the Windows target with the cross compiler's own C++ headers, which
    # it cannot find by itself in Debian's layout.
    set -- --quiet -p "$build_dir" --extra-arg=--target=x86_64-w64-mingw32 --extra-arg=-nostdinc++
    for dir in $("$compiler" -E -x c++ -v - </dev/null 2>&1 |
        sed -n '/#include <...> search starts here/,/End of search list/p' | grep 'include/c++'); do
        set -- "$@" "--extra-arg=-isystem$dir"
    done
    clang-tidy "$@" launcher/*.cpp
    ;;
cppcheck)
    cppcheck --enable=warning,style,performance,portability --error-exitcode=1 --inline-suppr \
        --std=c++20 --language=c++ --platform=win64 -D_WIN32 -D_WIN64 -DUNICODE -D_UNICODE \
        -D__MINGW32__ --suppress=missingIncludeSystem --quiet -I launcher launcher/
    ;;
clang-format)
    git ls-files --cached --others --exclude-standard -- '*.cpp' '*.h' |
        xargs clang-format --dry-run --Werror
    ;;
*)
    echo "unknown check: $check" >&2
    exit 2
    ;;
esac
