#!/usr/bin/env bash
# Checks qorpelk.sys from its PE tables: a native-subsystem image with an entry point,
# importing only from ntoskrnl.exe and HAL.dll, exporting under their undecorated names
# exactly the interface functions it implements; the .def lists the same names and the
# import library resolves each decorated stdcall symbol.
set -euo pipefail
objdump=$1 nm=$2 sys=$3 implib=$4 def=$5 header=$6 client=$7
fail() { echo "FAIL: $*"; exit 1; }

headers=$("$objdump" -p "$sys")
grep -Eq '^Subsystem[[:space:]]+00000001' <<<"$headers" || fail "subsystem is not native"
entry=$(awk '/^AddressOfEntryPoint/ {print $2}' <<<"$headers")
[ -n "$entry" ] && [ "$((16#$entry))" -ne 0 ] || fail "no entry point"

dlls=$(awk '/DLL Name:/ {print tolower($3)}' <<<"$headers" | sort -u)
for d in $dlls; do
    case "$d" in ntoskrnl.exe|hal.dll) ;; *) fail "imports from $d" ;; esac
done

# Interface functions: every prototype in the header, "QORAPI <type> QORCALL Name(".
declared=$(grep -oE '^QORAPI .*QORCALL +[A-Za-z0-9_]+\(' "$header" | sed -E 's/.*QORCALL +//; s/\(//' | sort -u)
[ "$(grep -c . <<<"$declared")" -eq 70 ] || fail "the header declares $(grep -c . <<<"$declared") functions, not 70"

# Exported names, from the export table.
exported=$(awk '/^\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && /^\t\[/ {print $NF} on && /^$/ {on=0}' <<<"$headers" | sort -u)
# Interface functions defined in the image, from its symbol table (_Name@N).
defined=$("$nm" "$sys" | awk '$2=="T" {print $3}' | sed -nE 's/^_([A-Za-z0-9_]+)@[0-9]+$/\1/p' | sort -u | comm -12 - <(echo "$declared"))

extra=$(comm -23 <(echo "$exported") <(echo "$declared"))
[ -z "$extra" ] || fail "exports outside the interface: $extra"
missing=$(comm -13 <(echo "$exported") <(echo "$defined"))
[ -z "$missing" ] || fail "implemented but not exported: $missing"
grep -q '@' <<<"$exported" && fail "decorated export names"

def_names=$(awk '/^EXPORTS/ {on=1; next} on && NF {print $1}' "$def" | sed -E 's/@[0-9]+$//' | sort -u)
grep -Eq '^ +[A-Za-z0-9_]+@[0-9]+$' "$def" || fail ".def does not carry the stdcall decorations"
[ "$def_names" = "$exported" ] || fail ".def does not list the exported names"

implib_symbols=$("$nm" "$implib")
for f in $exported; do
    grep -Eq "__imp__${f}@[0-9]+$" <<<"$implib_symbols" || fail "import library lacks __imp__${f}@N"
done

# A client image built against the import library imports by the undecorated names.
client_imports=$("$objdump" -p "$client" | awk '/DLL Name: qorpelk.sys/ {on=1; next} /DLL Name:/ {on=0} on && NF == 3 && $1 ~ /^[0-9a-f]+$/ {print $3}')
[ -n "$client_imports" ] || fail "the test client imports nothing from qorpelk.sys"
for f in $client_imports; do grep -qx "$f" <<<"$exported" || fail "client imports $f, which is not exported"; done

echo "qorpelk.sys: native, entry 0x$entry, imports from $(echo $dlls | tr ' ' ','), $(grep -c . <<<"$exported") of 70 functions exported, all implemented ones"
