#!/usr/bin/env bash
# Runs the host build's qor_bench under qemu-i386 with the qor_icount plugin, which counts
# the guest instructions executed between the benchmark's markers. qemu is used even where
# the kernel runs 32-bit programs itself: the counts come from the emulator.
# Usage: scripts/bench.sh [build directory, default build/host]
set -euo pipefail
build=${1:-build/host}
for f in "$build/qor_bench" "$build/qor_icount.so"; do
    [ -e "$f" ] || { echo "bench: $f is missing: run \`make bench\`" >&2; exit 1; }
done
command -v qemu-i386 >/dev/null || { echo "bench: qemu-i386 is missing (package qemu-user)" >&2; exit 1; }
counts=$(mktemp)
trap 'rm -f "$counts"' EXIT
QOR_ICOUNT_FILE="$counts" qemu-i386 -L / -plugin "$build/qor_icount.so,out=$counts" "$build/qor_bench"
