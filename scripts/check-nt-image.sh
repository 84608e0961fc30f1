#!/usr/bin/env bash
# Checks that a kernel image is laid out as the NT loader expects of a driver:
#  - an INIT section with the discardable characteristic, holding the entry point and no
#    global function but the ones named (the routines the kernel or a client call after
#    load must stay resident), and no exported function;
#  - the optional header's CheckSum equal to the checksum recomputed here from the file;
#  - a version resource that windres reads back, with the product name and the version.
#
#   check-nt-image.sh OBJDUMP NM WINDRES VERSION IMAGE INIT_FUNCTION...
set -euo pipefail
objdump=$1 nm=$2 windres=$3 version=$4 image=$5
shift 5
init_allowed=("$@")
name=$(basename "$image")
fail() { echo "FAIL: $name: $*"; exit 1; }
[ -s "$image" ] || fail "missing"

u16() { od -An -tu2 -j "$1" -N2 "$image" | tr -d ' '; }
u32() { od -An -tu4 -j "$1" -N4 "$image" | tr -d ' '; }

pe=$(u32 60)
[ "$(od -An -c -j "$pe" -N2 "$image" | tr -d ' ')" = "PE" ] || fail "no PE signature"
sections=$(u16 $((pe + 6)))
optional=$(u16 $((pe + 20)))
entry=$(u32 $((pe + 24 + 16)))
checksum_at=$((pe + 24 + 64))
stored=$(u32 $checksum_at)

# Section table: name, RVA, virtual size, characteristics.
init_rva="" init_size="" init_flags=""
for ((i = 0; i < sections; ++i)); do
    at=$((pe + 24 + optional + 40 * i))
    sname=$(dd if="$image" bs=1 skip="$at" count=8 status=none | tr -d '\0')
    if [ "$sname" = "INIT" ]; then
        init_size=$(u32 $((at + 8)))
        init_rva=$(u32 $((at + 12)))
        init_flags=$(u32 $((at + 36)))
    fi
done
[ -n "$init_rva" ] || fail "no INIT section"
(( init_flags & 0x02000000 )) || fail "INIT is not discardable (characteristics $(printf 0x%08X "$init_flags"))"
(( init_flags & 0x20000000 )) || fail "INIT is not executable"
(( entry >= init_rva && entry < init_rva + init_size )) || fail "the entry point $(printf 0x%X "$entry") is outside INIT"

# Global functions in INIT: only the ones named.
base=$(( 16#$("$objdump" -p "$image" | awk '/^ImageBase/ {print $2}') ))
while read -r address type f; do
    [ "$type" = T ] || continue
    a=$((16#$address - base))
    (( a >= init_rva && a < init_rva + init_size )) || continue
    ok=0
    for a in "${init_allowed[@]}"; do [ "$f" = "$a" ] && ok=1; done
    [ $ok -eq 1 ] || fail "$f is in INIT, which the kernel discards after load"
done < <("$nm" "$image")

# Exported functions: none in INIT.
exports=$("$objdump" -p "$image" | awk '/Export RVA/ {print $(NF-2)}')
for rva in $exports; do
    r=$((16#$rva))
    (( r < init_rva || r >= init_rva + init_size )) || fail "an exported function (RVA 0x$rva) is in INIT"
done

# The checksum, recomputed: 16-bit little-endian words summed with the carry folded back,
# the CheckSum field counted as zero, plus the file's length.
size=$(stat -c %s "$image")
computed=$(od -An -v -tu1 "$image" | awk -v skip=$checksum_at -v size="$size" '
    { for (i = 1; i <= NF; ++i) byte[n++] = $i }
    END {
        for (j = skip; j < skip + 4; ++j) byte[j] = 0
        sum = 0
        for (j = 0; j < n; j += 2) {
            sum += byte[j] + 256 * (j + 1 < n ? byte[j + 1] : 0)
            sum = (sum % 65536) + int(sum / 65536)
        }
        sum = (sum % 65536) + int(sum / 65536)
        print sum + size
    }')
[ "$stored" = "$computed" ] || fail "checksum $(printf 0x%08X "$stored") in the header, $(printf 0x%08X "$computed") computed"

# The version resource, read back from the image.
resource=$("$windres" -i "$image" -O rc 2>/dev/null) || fail "windres cannot read the resources"
grep -q "VALUE \"ProductName\", \"QOR data-acquisition support library\"" <<<"$resource" || fail "no product name"
grep -q "VALUE \"FileVersion\", \"$version\"" <<<"$resource" || fail "FileVersion is not $version"
grep -q "VALUE \"OriginalFilename\", \"$name\"" <<<"$resource" || fail "OriginalFilename is not $name"
IFS=. read -r major minor patch <<<"$version"
grep -Eq "FILEVERSION $major, $minor, $patch, 0" <<<"$resource" || fail "the fixed FILEVERSION is not $version"

echo "$name: INIT discardable ($(printf 0x%X "$init_size") bytes, entry inside), checksum $(printf 0x%08X "$stored"), version $version"
