#!/usr/bin/env bash
# Runs the sample driver's fuzz target from the seed corpus in fuzz/corpus.
#   scripts/fuzz.sh PROGRAM time SECONDS   fuzz for SECONDS; new inputs go to a corpus
#                                          directory beside PROGRAM, crashes to findings/
#   scripts/fuzz.sh PROGRAM smoke RUNS     RUNS inputs with a fixed seed, nothing kept
# The program is 32-bit; scripts/run32.sh runs it under qemu-i386 where the kernel must.
set -euo pipefail
program=$1 mode=$2 amount=$3
# A smaller quarantine keeps the 32-bit address space from filling up.
export ASAN_OPTIONS="${ASAN_OPTIONS:-quarantine_size_mb=16:malloc_context_size=8}"
root=$(cd "$(dirname "$0")/.." && pwd)
seeds="$root/fuzz/corpus"
# libFuzzer's timeout (a SIGALRM every second) is off: under qemu-i386 the signal, landing
# on threads that wait on futexes, has left whole processes waiting for good. The fuzz
# target's own watchdog reports an input that runs longer than 45 s.
common=(-timeout=0 -rss_limit_mb=0 -max_len=512 -print_final_stats=1)
# A 32-bit program under qemu-i386 may fail to list a directory (64-bit directory offsets
# do not fit its calls), so the inputs are listed here and handed over by name, as
# one comma-separated line.
list_inputs() {
    find "$@" -maxdepth 1 -type f 2>/dev/null | sort | paste -sd, -
}
case "$mode" in
time)
    # Sessions of at most one minute, each a fresh process that starts from the seeds
    # and everything found so far: under qemu-i386 one long-lived sanitized process runs
    # out of 32-bit address space after some thousand inputs.
    work="$(dirname "$program")/corpus"
    findings="$(dirname "$program")/findings"
    mkdir -p "$work" "$findings"
    list="$(dirname "$program")/inputs.txt"
    left=$amount
    while [ "$left" -gt 0 ]; do
        session=$((left < 60 ? left : 60))
        list_inputs "$seeds" "$work" > "$list"
        "$root/scripts/run32.sh" "$program" "${common[@]}" -max_total_time="$session" \
            -seed_inputs="@$list" -artifact_prefix="$findings/" "$work"
        left=$((left - session))
    done
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
