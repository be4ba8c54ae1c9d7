#!/usr/bin/env bash
# Builds the engine's own test program with the compiler $CXX (default g++)
# and the flags given, and runs it (through $RUNNER, e.g. qemu-aarch64, when
# set) under every instruction set in $ISAS (default: the one it picks),
# with $CASES random cases (default 3000). Compiled as the package is: no
# fused multiply-adds the source does not write.
#
#   tests/native/run.sh -O2
#   tests/native/run.sh -O1 -g -fsanitize=address,undefined -fno-sanitize-recover=all
#   CXX=aarch64-linux-gnu-g++ RUNNER="qemu-aarch64 -L /usr/aarch64-linux-gnu" \
#       ISAS="neon portable" tests/native/run.sh -O2
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
cxx=${CXX:-g++}
sources=("$top"/native/engine/*.cpp "$top/tests/native/engine_test.cpp")
# One object per source, two at a time (the selection networks' file is
# the slow one).
printf '%s\n' "${sources[@]}" |
    xargs -P 2 -I{} sh -c '"$0" -std=c++20 -ffp-contract=off -I"$1/native" $3 -c "{}" -o "$2/$(basename "{}").o"' \
        "$cxx" "$top" "$out" "$*"
"$cxx" "$@" -o "$out/engine_test" "$out"/*.o
cases=${CASES:-3000}
if [ -z "${ISAS:-}" ]; then
    ${RUNNER:-} "$out/engine_test" "$cases"
else
    for isa in $ISAS; do MORVANE_ISA=$isa ${RUNNER:-} "$out/engine_test" "$cases"; done
fi
