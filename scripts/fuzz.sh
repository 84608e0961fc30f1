#!/usr/bin/env bash
# Runs the sample driver's fuzz target from the seed corpus in fuzz/corpus.
#   scripts/fuzz.sh PROGRAM time SECONDS   fuzz for SECONDS; new inputs go to build/fuzz/corpus,
#                                          crashes to build/fuzz/findings
#   scripts/fuzz.sh PROGRAM smoke RUNS     RUNS inputs with a fixed seed, nothing kept
# The program is 32-bit; scripts/run32.sh runs it under qemu-i386 where the kernel must.
set -euo pipefail
program=$1 mode=$2 amount=$3
root=$(cd "$(dirname "$0")/.." && pwd)
seeds="$root/fuzz/corpus"
# The input's own steps are bounded, so a slow input is a hang.
common=(-timeout=60 -rss_limit_mb=0 -max_len=512 -print_final_stats=1)
# A 32-bit program under qemu-i386 may fail to list a directory (64-bit directory offsets
# do not fit its calls), so the inputs are listed here and handed over by name, as
# one comma-separated line.
list_inputs() {
    find "$@" -maxdepth 1 -type f 2>/dev/null | sort | paste -sd, -
}
case "$mode" in
time)
    work="$(dirname "$program")/corpus"
    findings="$(dirname "$program")/findings"
    mkdir -p "$work" "$findings"
    list="$(dirname "$program")/inputs.txt"
    list_inputs "$seeds" "$work" > "$list"
    exec "$root/scripts/run32.sh" "$program" "${common[@]}" -max_total_time="$amount" \
        -seed_inputs="@$list" -artifact_prefix="$findings/" "$work"
    ;;
smoke)
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    list_inputs "$seeds" > "$work/inputs.txt"
    mkdir "$work/corpus"
    "$root/scripts/run32.sh" "$program" "${common[@]}" -seed=1 -runs="$amount" \
        -seed_inputs="@$work/inputs.txt" -artifact_prefix="$work/" "$work/corpus"
    ;;
*)
    echo "usage: $0 PROGRAM time SECONDS | smoke RUNS" >&2
    exit 2
    ;;
esac
