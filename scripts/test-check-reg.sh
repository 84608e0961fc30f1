#!/usr/bin/env bash
# The registry-script check must refuse each fault that would make NT 4's regedit stop or
# write something else than meant (UTF-16LE string bytes among them: that regedit reads
# them as ANSI), and read back what a correct script writes.
#
#   test-check-reg.sh CHECK_REG
set -euo pipefail
check=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
key='[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\qor]'
failures=0

# want | what | body after the REGEDIT4 line and a blank line (\n for new lines; a body
# starting with ! replaces the whole file) | the reason a refusal gives, or the value read
cases=(
    "fail|REGEDIT5 header|!REGEDIT5|first line must be REGEDIT4"
    "fail|value before any key|\"Type\"=dword:00000001|a value before the first key"
    "fail|dword with seven digits|$key\n\"Type\"=dword:0000001|eight hex digits"
    "fail|dword with a non-hex digit|$key\n\"Type\"=dword:0000000g|eight hex digits"
    "fail|unterminated string|$key\n\"ImagePath\"=\"System32|unterminated string"
    "fail|single backslash escape|$key\n\"ImagePath\"=\"System32\\drivers\"|bad escape"
    "fail|text after the string|$key\n\"ImagePath\"=\"a\" b|text after the closing quote"
    "fail|no = after the name|$key\n\"Type\" dword:00000001|expected ="
    "fail|unknown type|$key\n\"Type\"=qword:00000001|unknown value type"
    "fail|key under no root|[HKLM\\SYSTEM]|not a key under a root key"
    "fail|key without ]|[HKEY_LOCAL_MACHINE\\SYSTEM|must end with ]"
    "fail|multi-string without its final NUL|$key\n\"D\"=hex(7):71,00|two NULs"
    "fail|empty string inside a multi-string|$key\n\"D\"=hex(7):71,00,00,72,00,00|an empty string inside"
    "fail|multi-string in UTF-16LE|$key\n\"D\"=hex(7):71,00,72,00,00,00,00,00|ANSI bytes, not UTF-16LE"
    "fail|one-character multi-string in UTF-16LE|$key\n\"D\"=hex(7):71,00,00,00,00,00|ANSI bytes, not UTF-16LE"
    "fail|expandable string in UTF-16LE|$key\n\"P\"=hex(2):5c,00,53,00,00,00|ANSI bytes, not UTF-16LE"
    "fail|expandable string without its NUL|$key\n\"P\"=hex(2):61,62|must end with a NUL"
    "fail|character beyond ASCII|$key\n\"P\"=hex(2):61,e9,00|beyond ASCII (0xE9)"
    "fail|NUL inside an expandable string|$key\n\"P\"=hex(2):61,62,00,63,00|a NUL inside"
    "fail|one-digit byte|$key\n\"B\"=hex:1,02|two-digit hex bytes"
    "fail|continuation at the end|$key\n\"B\"=hex:01,\\\\|ends with a continuation"
    "fail|stray line|$key\nType=1|neither a key"
    "pass|escaped backslashes|$key\n\"ImagePath\"=\"System32\\\\\\\\drivers\\\\\\\\x.sys\"|ImagePath REG_SZ System32\\drivers\\x.sys"
    "pass|dword in hex|$key\n\"AI\"=dword:00000040|AI REG_DWORD 64"
    "pass|multi-string of two|$key\n\"D\"=hex(7):61,00,62,63,00,00|D REG_MULTI_SZ a;bc"
    "pass|multi-string of one character|$key\n\"D\"=hex(7):71,00,00|D REG_MULTI_SZ q"
    "pass|expandable string on two lines|$key\n\"P\"=hex(2):5c,53,52,\\\\\n  5c,78,00|P REG_EXPAND_SZ \\SR\\x"
    "pass|bytes continued on the next line|$key\n\"B\"=hex:01,02,\\\\\n  03|B REG_BINARY 01,02,03"
    "pass|comment and default value|; note\n$key\n@=\"v\"|@ REG_SZ v"
)
for case in "${cases[@]}"; do
    IFS='|' read -r want what body readback <<<"$case"
    if [ "${body:0:1}" = "!" ]; then printf '%b\n' "${body:1}" >"$work/t.reg"
    else printf 'REGEDIT4\r\n\r\n%b\r\n' "$body" >"$work/t.reg"; fi
    got=pass
    out=$("$check" --dump "$work/t.reg" 2>&1) || got=fail
    if [ "$got" = fail ] && ! grep -qF -- "$readback" <<<"$out"; then
        got="fail for another reason"
    elif [ "$got" = pass ] && [ -n "$readback" ]; then
        line=$(awk -F'\t' '$3 != "KEY" {print $2 " " $3 " " $4}' <<<"$out")
        [ "$line" = "$readback" ] || { got="pass reading '$line'"; want="$want reading '$readback'"; }
    fi
    if [ "$got" = "$want" ]; then echo "ok: $what ($got)"
    else echo "WRONG: $what: expected $want, got $got"; sed 's/^/    /' <<<"$out"; failures=$((failures + 1)); fi
done
[ $failures -eq 0 ] || { echo "$failures case(s) wrong"; exit 1; }
echo "all cases right"
