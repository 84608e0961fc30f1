#!/usr/bin/env bash
# Proves that the image checks catch what they are for: each case feeds a check one fault
# (an instruction the Pentium lacks, a checksum that no longer matches, an INIT section
# that stays resident or is missing) and expects a refusal, and the Pentium's own
# instructions must pass.
#
#   test-nt-checks.sh SCRIPTS OBJDUMP NM WINDRES CC VERSION IMAGE
set -euo pipefail
scripts=$1 objdump=$2 nm=$3 windres=$4 cc=$5 version=$6 image=$7
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
expect() { # expect pass|fail REASON DESCRIPTION COMMAND...: a refusal must give the reason
    local want=$1 reason=$2 what=$3
    shift 3
    local got=pass
    "$@" >"$work/out" 2>&1 || got=fail
    if [ "$got" = fail ] && ! grep -q -- "$reason" "$work/out"; then
        got="fail for another reason"
    fi
    if [ "$got" != "$want" ]; then
        echo "WRONG: $what: expected $want, got $got"
        sed 's/^/    /' "$work/out"
        failures=$((failures + 1))
    else
        echo "ok: $what ($got)"
    fi
}

# Instructions, assembled one per object file.
instruction_cases=(
    "fail|cmovne %eax,%ebx"
    "fail|fcmovb %st(1),%st"
    "fail|fcomip %st(1),%st"
    "fail|fucomi %st(1),%st"
    "fail|nopw 0x0(%eax,%eax,1)"
    "fail|nopl 0x0(%eax)"
    "fail|endbr32"
    "fail|sysenter"
    "fail|rdpmc"
    "fail|movq %mm0,%mm1"
    "fail|addps %xmm1,%xmm0"
    "fail|lfence"
    "fail|popcnt %eax,%ebx"
    "pass|lock cmpxchg8b (%eax)"
    "pass|lock xaddl %eax,(%ebx)"
    "pass|rdtsc"
    "pass|cpuid"
    "pass|bswap %eax"
    "pass|ud2"
    "pass|fcomp %st(1)"
    "pass|leal 0x0(%esi),%esi"
)
n=0
for case in "${instruction_cases[@]}"; do
    want=${case%%|*} insn=${case#*|}
    n=$((n + 1))
    printf '\t.text\n\t.globl f%d\nf%d:\n\t%s\n\tret\n' $n $n "$insn" >"$work/i$n.s"
    "$cc" -c "$work/i$n.s" -o "$work/i$n.o"
    expect "$want" "newer than the Pentium" "instruction '$insn'" "$scripts/check-nt-instructions.sh" "$objdump" "$work/i$n.o"
done

# A minimum picked without a branch: a CMOV for the Pentium Pro, none for the i486.
echo 'int pick(int a, int b) { return a < b ? a : b; }' >"$work/pick.c"
"$cc" -O2 -march=i686 -c "$work/pick.c" -o "$work/pick686.o"
"$cc" -O2 -march=i486 -mtune=pentium -c "$work/pick.c" -o "$work/pick486.o"
expect fail cmov "C compiled for the Pentium Pro" "$scripts/check-nt-instructions.sh" "$objdump" "$work/pick686.o"
expect pass "" "C compiled for the i486" "$scripts/check-nt-instructions.sh" "$objdump" "$work/pick486.o"

# The image as built passes; each corruption of a copy is refused.
check_image() { "$scripts/check-nt-image.sh" "$objdump" "$nm" "$windres" "$version" "$1" _DriverEntry@8; }
u32() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '; }
put32() { # file offset value
    printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($3 & 255)) $((($3 >> 8) & 255)) $((($3 >> 16) & 255)) $((($3 >> 24) & 255)))" |
        dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
init_header() { # file -> offset of the INIT section header
    local pe sections optional i at
    pe=$(u32 "$1" 60)
    sections=$(od -An -tu2 -j $((pe + 6)) -N2 "$1" | tr -d ' ')
    optional=$(od -An -tu2 -j $((pe + 20)) -N2 "$1" | tr -d ' ')
    for ((i = 0; i < sections; ++i)); do
        at=$((pe + 24 + optional + 40 * i))
        [ "$(dd if="$1" bs=1 skip="$at" count=4 status=none)" = INIT ] && { echo $at; return; }
    done
}
expect pass "" "the built image" check_image "$image"

cp "$image" "$work/byte.sys"
size=$(stat -c %s "$image")
last=$(od -An -tu1 -j $((size - 1)) -N1 "$image" | tr -d ' ')
printf "$(printf '\\x%02x' $(((last + 1) & 255)))" | dd of="$work/byte.sys" bs=1 seek=$((size - 1)) conv=notrunc status=none
expect fail "computed" "one byte changed after the checksum was written" check_image "$work/byte.sys"

cp "$image" "$work/resident.sys"
at=$(init_header "$work/resident.sys")
put32 "$work/resident.sys" $((at + 36)) $(( $(u32 "$work/resident.sys" $((at + 36))) & ~0x02000000 ))
expect fail "not discardable" "INIT without the discardable characteristic" check_image "$work/resident.sys"

cp "$image" "$work/noinit.sys"
printf 'TEXT' | dd of="$work/noinit.sys" bs=1 seek="$at" conv=notrunc status=none
expect fail "no INIT section" "no INIT section" check_image "$work/noinit.sys"

expect fail "_DriverEntry@8 is in INIT" "a function other than DriverEntry in INIT" \
    "$scripts/check-nt-image.sh" "$objdump" "$nm" "$windres" "$version" "$image" _QorUnload@4
expect fail "FileVersion" "another version" \
    "$scripts/check-nt-image.sh" "$objdump" "$nm" "$windres" "0.0.1" "$image" _DriverEntry@8

[ $failures -eq 0 ] || { echo "$failures case(s) wrong"; exit 1; }
echo "all cases right"
