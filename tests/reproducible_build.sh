#!/bin/sh
# Builds quorvel.exe again in a fresh folder with the same build date and checks that the
# result is byte-identical to the one under test, and that the banner shows that date.
source_dir=$1
toolchain=$2
exe=$3
epoch=$4
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cmake -S "$source_dir" -B "$scratch" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DQUORVEL_TESTS=OFF \
    -DQUORVEL_SOURCE_DATE_EPOCH="$epoch" >/dev/null || exit 1
cmake --build "$scratch" --target quorvel >/dev/null || exit 1

status=0
if ! cmp "$exe" "$scratch/quorvel.exe"; then
    echo "two builds with SOURCE_DATE_EPOCH=$epoch differ"
    status=1
fi
if [ "$epoch" = 1499000000 ]; then
    # The banner is stored as UTF-16LE text: without its zero bytes it reads as ASCII.
    if ! tr -d '\000' <"$exe" | LC_ALL=C grep -qaF 'Quorvel / Jul  2 2017'; then
        echo "the banner 'Quorvel / Jul  2 2017' is not in $exe"
        status=1
    fi
fi
[ $status -eq 0 ] && echo "identical builds: $(wc -c <"$exe") bytes"
exit $status
