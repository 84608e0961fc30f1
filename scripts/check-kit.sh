#!/usr/bin/env bash
# Installs the kit into an empty folder and checks it: every file a driver writer ships
# and builds against is there and nothing else, the registry scripts parse as REGEDIT4
# with CR LF line ends, and the services they create fit together: both kernel drivers
# started on demand, each ImagePath naming a driver of the kit, acqdrv depending on the
# qorpelk service and carrying its Parameters (buffer sizes, FPGA file name).
#
#   check-kit.sh CMAKE BUILD_DIR SCRIPTS [--build-guide]
set -euo pipefail
cmake=$1 build=$2 scripts=$3
kit=$(mktemp -d)
trap 'rm -rf "$kit"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

"$cmake" --install "$build" --prefix "$kit" >/dev/null || fail "cmake --install failed"

expected="GUIDE.txt
INSTALL.txt
SCRIPTS.txt
bin/acqapp.exe
drivers/acqdrv.sys
drivers/qorpelk.sys
example/mydrv.c
example/mydrv.qs
include/acqdrv_ioctl.h
include/qor_plx9050.h
include/qor_plx9080.h
include/qor_s5933.h
include/qorpelk.h
include/qorpelk_requests.h
include/qorwin32.h
lib/libqorpelk.a
lib/qorpelk.def
registry/acqdrv.reg
registry/qorpelk.reg
src/acqapp/acqapp.c
src/acqapp/acqapp.h
src/acqapp/main.c
src/acqdrv/acqdrv.c
tools/pe_finish.c"
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
for text in INSTALL.txt GUIDE.txt SCRIPTS.txt; do
    [ "$(grep -c $'\r$' "$kit/$text")" -eq "$(wc -l <"$kit/$text")" ] || fail "$text has lines without CR LF"
done

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
    expect $service ImagePath REG_EXPAND_SZ "\\SystemRoot\\System32\\drivers\\$service.sys"
    [ -s "$kit/drivers/$service.sys" ] || fail "$service's image is not in the kit"
done
expect acqdrv DependOnService REG_MULTI_SZ qorpelk
for kind in AI AO DI DO; do
    [ "$(value 'acqdrv\Parameters' $kind | cut -f1)" = REG_DWORD ] || fail "acqdrv\\Parameters\\$kind is no REG_DWORD"
done
fpga=$(value 'acqdrv\Parameters' FPGA)
[ "${fpga%%$'\t'*}" = REG_SZ ] && [ -n "${fpga#*$'\t'}" ] || fail "acqdrv\\Parameters\\FPGA names no file"

# The guide's build lines, as it prints them, build the sample driver and program from
# the kit alone (its headers, import library and finishing step): mydrv.c is a copy of
# the kit's acqdrv.c, myapp.c stands for its acqapp sources.
if [ "${4:-}" = --build-guide ]; then
    work=$kit/guide-build
    mkdir -p "$work"
    cp "$kit/src/acqdrv/acqdrv.c" "$work/mydrv.c"
    awk '/^6\. Building/ {on = 1} /^7\. Installing/ {on = 0} on && /^    / {sub(/^    /, ""); print}' "$kit/GUIDE.txt" |
        tr -d '\r' | sed -e ':a' -e '/\\$/N; s/\\\n *//; ta' |
        sed -e "s|myapp\.c|\"\$KIT/src/acqapp/main.c\" \"\$KIT/src/acqapp/acqapp.c\"|" >"$work/lines.sh"
    [ "$(grep -c . "$work/lines.sh")" -ge 5 ] || fail "GUIDE.txt shows no build lines: $(cat "$work/lines.sh")"
    (cd "$work" && KIT=$kit bash -euo pipefail lines.sh) >"$work/log" 2>&1 ||
        fail "the guide's build lines fail:
$(cat "$work/lines.sh")
$(cat "$work/log")"
    for f in mydrv.sys myapp.exe; do [ -s "$work/$f" ] || fail "the guide's lines made no $f"; done
    echo "guide: its build lines make mydrv.sys and myapp.exe from the kit alone"
fi

echo "kit: $(grep -c . <<<"$expected") files, registry scripts for qorpelk and acqdrv parse"
