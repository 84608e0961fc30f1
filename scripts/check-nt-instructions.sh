#!/usr/bin/env bash
# Disassembles kernel images (and object files) and fails on any instruction that an i486
# or Pentium processor does not have: the kernel of NT 4 runs on both, and an unknown
# opcode in kernel mode is a bug check. Refused: CMOVcc, FCMOVcc, FCOMI/FUCOMI, the long
# NOPs (0F 1F) and ENDBR32 that later processors treat as hints, RDPMC, SYSENTER/SYSCALL
# and their returns, FXSAVE/FXRSTOR, the fences and cache hints, POPCNT/LZCNT/TZCNT/MOVBE,
# and every use of an MMX, SSE or AVX register. UD2 is allowed: it is meant to trap, and
# PAUSE (a REP NOP) runs as a NOP on the older processors.
#
#   check-nt-instructions.sh OBJDUMP FILE...
set -euo pipefail
objdump=$1
shift
[ $# -gt 0 ] || { echo "usage: check-nt-instructions.sh OBJDUMP FILE..."; exit 2; }

refused='^(cmov[a-z]*|fcmov[a-z]*|f(u)?comip?|nop[wl]|endbr32|endbr64|rdpmc|sysenter|sysexit|syscall|sysret[lq]?|fxsave|fxrstor|emms|femms|[lsm]fence|clflush[a-z]*|prefetch[a-z0-9]*|ldmxcsr|stmxcsr|movnti|fisttp[a-z]*|popcnt[wlq]?|lzcnt[wlq]?|tzcnt[wlq]?|movbe[wlq]?|crc32[bwlq]?|rdtscp|xgetbv|xsave[a-z]*|xrstor[a-z]*)$'
# Prefixes that objdump prints in front of the mnemonic.
prefixes='^(lock|rep|repz|repnz|repe|repne|data16|data32|addr16|addr32|cs|ds|es|fs|gs|ss|bnd|notrack|xacquire|xrelease)$'

failed=0
for file in "$@"; do
    [ -s "$file" ] || { echo "FAIL: $file is missing"; failed=1; continue; }
    listing=$("$objdump" -d --no-show-raw-insn "$file") || { echo "FAIL: cannot disassemble $file"; failed=1; continue; }
    bad=$(awk -F'\t' -v refused="$refused" -v prefixes="$prefixes" '
        /^[0-9a-f]+ <.*>:$/ { fn = $0; sub(/^[0-9a-f]+ /, "", fn); sub(/:$/, "", fn); next }
        NF >= 2 && $1 ~ /^ *[0-9a-f]+:$/ {
            n = split($2, word, /[ ,]+/)
            i = 1
            while (i < n && word[i] ~ prefixes) i++
            m = word[i]
            if (m ~ refused || $2 ~ /%[xyz]?mm[0-9]/) {
                addr = $1; sub(/^ */, "", addr); sub(/:$/, "", addr)
                print "  " addr " " fn ": " $2
            }
        }' <<<"$listing")
    if [ -n "$bad" ]; then
        echo "FAIL: $file has instructions newer than the Pentium:"
        head -20 <<<"$bad"
        failed=1
    else
        count=$(awk -F'\t' 'NF >= 2 && $1 ~ /^ *[0-9a-f]+:$/' <<<"$listing" | wc -l)
        echo "$(basename "$file"): $count instructions, all i486/Pentium"
    fi
done
exit $failed
