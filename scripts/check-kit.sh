#!/usr/bin/env bash
# Installs the kit into an empty folder and checks it: every file a driver writer ships
# and builds against is there and nothing else, the registry scripts parse as REGEDIT4
# with CR LF line ends, and the services they create fit together: both kernel drivers
# started on demand, each ImagePath naming a driver of the kit, acqdrv depending on the
# qorpelk service and carrying its Parameters (buffer sizes, FPGA file name).
#
#   check-kit.sh CMAKE BUILD_DIR SCRIPTS
set -euo pipefail
cmake=$1 build=$2 scripts=$3
kit=$(mktemp -d)
trap 'rm -rf "$kit"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

"$cmake" --install "$build" --prefix "$kit" >/dev/null || fail "cmake --install failed"

expected="INSTALL.txt
bin/acqapp.exe
drivers/acqdrv.sys
drivers/qorpelk.sys
example/mydrv.c
example/mydrv.qs
include/qor_plx9050.h
include/qor_plx9080.h
include/qor_s5933.h
include/qorpelk.h
include/qorpelk_requests.h
lib/libqorpelk.a
lib/qorpelk.def
registry/acqdrv.reg
registry/qorpelk.reg"
present=$(cd "$kit" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
[ "$present" = "$expected" ] || fail "the kit holds
$present
instead of
$expected"
for f in $expected; do [ -s "$kit/$f" ] || fail "$f is empty"; done

services='HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services'
values=""
for reg in "$kit"/registry/*.reg; do
    [ "$(grep -c $'\r$' "$reg")" -eq "$(wc -l <"$reg")" ] || fail "$(basename "$reg") has lines without CR LF"
    values+=$("$scripts/check-reg.sh" --dump "$reg") || fail "$(basename "$reg") does not parse"
    values+=$'\n'
done
grep -q $'\r$' "$kit/INSTALL.txt" || fail "INSTALL.txt has no CR LF line ends"

value() { # key-under-Services name -> "TYPE<tab>DATA"
    KEY="$services\\$1" NAME=$2 awk -F'\t' '$1 == ENVIRON["KEY"] && $2 == ENVIRON["NAME"] {print $3 "\t" $4}' <<<"$values"
}
expect() { # service name type data
    [ "$(value "$1" "$2")" = "$3"$'\t'"$4" ] || fail "$1\\$2 is '$(value "$1" "$2")', not $3 $4"
}
for service in qorpelk acqdrv; do
    expect $service Type REG_DWORD 1
    expect $service Start REG_DWORD 3
    expect $service ErrorControl REG_DWORD 1
    expect $service ImagePath REG_SZ "System32\\drivers\\$service.sys"
    [ -s "$kit/drivers/$service.sys" ] || fail "$service's image is not in the kit"
done
expect acqdrv DependOnService REG_MULTI_SZ qorpelk
for kind in AI AO DI DO; do
    [ "$(value 'acqdrv\Parameters' $kind | cut -f1)" = REG_DWORD ] || fail "acqdrv\\Parameters\\$kind is no REG_DWORD"
done
fpga=$(value 'acqdrv\Parameters' FPGA)
[ "${fpga%%$'\t'*}" = REG_SZ ] && [ -n "${fpga#*$'\t'}" ] || fail "acqdrv\\Parameters\\FPGA names no file"

echo "kit: $(grep -c . <<<"$expected") files, registry scripts for qorpelk and acqdrv parse"
