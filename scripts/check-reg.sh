#!/usr/bin/env bash
# Validates a registry script in the REGEDIT4 format that the NT 4 registry editor
# imports, and with --dump prints what it would write, one value a line:
#   KEY <tab> NAME <tab> TYPE <tab> DATA
# (TYPE REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ with its strings joined by ";", REG_DWORD in
# decimal, REG_BINARY or hex(N) as the byte list, DELETE for a "-" value).
#
# Accepted: the "REGEDIT4" first line; blank lines and ";" comments; [KEY] and [-KEY]
# under one of the five root keys; values "name" or @ followed by "=" and a quoted string
# (escapes \\ and \" only), dword: with eight hex digits, hex: or hex(N): with a comma list
# of two-digit bytes that may continue on the next line after a trailing backslash, or "-".
# NT 4's regedit is an ANSI program: it hands the bytes of hex(2) (REG_EXPAND_SZ) and
# hex(7) (REG_MULTI_SZ) data to the registry as ANSI text, which the registry stores as
# UTF-16LE; later editors convert a REGEDIT4 script's bytes the same way. So hex(2) data
# are one string of single bytes ending in a NUL byte, hex(7) data strings of them each
# ending in a NUL, the list in one more. UTF-16LE bytes (as a version 5 script holds
# them) would be cut at their first 00: ImagePath "\SystemRoot\..." would be "\", and
# are refused. Only ASCII characters are read.
#
#   check-reg.sh [--dump] FILE
set -euo pipefail
dump=0
if [ "${1:-}" = --dump ]; then dump=1; shift; fi
[ $# -eq 1 ] || { echo "usage: check-reg.sh [--dump] FILE" >&2; exit 2; }
file=$1
[ -r "$file" ] || { echo "$file: cannot read" >&2; exit 1; }

LC_ALL=C awk -v dump=$dump -v file="$file" '
function err(msg) { printf "%s:%d: %s\n", file, lineno, msg > "/dev/stderr"; bad = 1; exit 1 }
function hexval(s,    i, v, c) {
    v = 0
    for (i = 1; i <= length(s); ++i) { c = index("0123456789abcdef", tolower(substr(s, i, 1))) - 1; v = v * 16 + c }
    return v
}
# A quoted string at the start of s: sets qtext to its text, returns the rest after the
# closing quote, or errs.
function quoted(s,    i, c, out) {
    if (substr(s, 1, 1) != "\"") err("expected a quoted string")
    out = ""
    for (i = 2; i <= length(s); ++i) {
        c = substr(s, i, 1)
        if (c == "\\") {
            c = substr(s, ++i, 1)
            if (c != "\\" && c != "\"") err("bad escape \\" c " in a string")
            out = out c
        } else if (c == "\"") {
            qtext = out
            return substr(s, i + 1)
        } else out = out c
    }
    err("unterminated string")
}
function emit(name, type, data) { if (dump) printf "%s\t%s\t%s\t%s\n", key, name, type, data }
function value(line,    name, rest, data, type, n, i, b, bytes, text, item, items, wide) {
    if (key == "") err("a value before the first key")
    if (deleting) err("a value under a key that is being deleted")
    if (substr(line, 1, 1) == "@") { name = "@"; rest = substr(line, 2) }
    else { rest = quoted(line); name = qtext }
    if (substr(rest, 1, 1) != "=") err("expected = after the value name")
    data = substr(rest, 2)
    if (data == "-") { emit(name, "DELETE", ""); return }
    if (substr(data, 1, 1) == "\"") {
        rest = quoted(data)
        if (rest != "") err("text after the closing quote")
        emit(name, "REG_SZ", qtext); return
    }
    if (data ~ /^dword:/) {
        if (data !~ /^dword:[0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f]$/)
            err("a dword needs exactly eight hex digits")
        emit(name, "REG_DWORD", hexval(substr(data, 7))); return
    }
    if (data ~ /^hex:/) { type = "REG_BINARY"; data = substr(data, 5) }
    else if (data ~ /^hex\([0-9A-Fa-f]+\):/) {
        i = index(data, ":"); type = "hex(" hexval(substr(data, 5, i - 6)) ")"; data = substr(data, i + 1)
    } else err("unknown value type in \"" data "\"")
    n = 0
    if (data != "") {
        if (data !~ /^[0-9A-Fa-f][0-9A-Fa-f](,[0-9A-Fa-f][0-9A-Fa-f])*$/) err("a byte list is two-digit hex bytes separated by commas")
        n = split(data, bytes, ",")
    }
    if (type == "hex(2)" || type == "hex(7)") {
        if (n == 0 || hexval(bytes[n]) != 0) err(type " data must end with a NUL (00)")
        if (type == "hex(7)" && (n < 2 || hexval(bytes[n - 1]) != 0))
            err("hex(7) data must end with two NULs (00,00)")
        # UTF-16LE: a character, then every second byte 00 (no valid list of ANSI
        # strings has that shape with an even length)
        wide = n >= 4 && n % 2 == 0 && hexval(bytes[1]) != 0
        for (i = 2; wide && i <= n; i += 2)
            if (hexval(bytes[i]) != 0) wide = 0
        text = ""; item = ""; items = 0
        for (i = 1; i <= n - (type == "hex(7)" ? 1 : 0); ++i) {
            b = hexval(bytes[i])
            if (b == 0) {
                if (wide) err(type " data in a REGEDIT4 script are ANSI bytes, not UTF-16LE: regedit would cut the string at its first 00")
                if (type == "hex(2)" && i < n) err("a NUL inside a hex(2) string")
                if (type == "hex(7)" && item == "" ) err("an empty string inside a multi-string list")
                text = text (items++ ? ";" : "") item; item = ""
            } else if (b >= 128) {
                err(sprintf("a character beyond ASCII (0x%02X) in %s data", b, type))
            } else item = item sprintf("%c", b)
        }
        emit(name, type == "hex(2)" ? "REG_EXPAND_SZ" : "REG_MULTI_SZ", text); return
    }
    emit(name, type, data)
}
BEGIN { key = ""; pending = ""; bad = 0 }
{
    lineno = NR
    sub(/\r$/, "")
    if (pending != "") {
        line = $0; sub(/^[ \t]+/, "", line)
        $0 = pending line; pending = ""
    }
    if (NR == 1) { if ($0 != "REGEDIT4") err("the first line must be REGEDIT4"); next }
    if ($0 ~ /^[ \t]*$/ || $0 ~ /^;/) next
    if ($0 ~ /=hex(\([0-9A-Fa-f]+\))?:.*\\$/) { pending = substr($0, 1, length($0) - 1); next }
    if (substr($0, 1, 1) == "[") {
        if ($0 !~ /\]$/) err("a key line must end with ]")
        key = substr($0, 2, length($0) - 2); deleting = 0
        if (substr(key, 1, 1) == "-") { deleting = 1; key = substr(key, 2) }
        if (key !~ /^(HKEY_LOCAL_MACHINE|HKEY_CURRENT_USER|HKEY_CLASSES_ROOT|HKEY_USERS|HKEY_CURRENT_CONFIG)(\\[^\\]+)*$/)
            err("not a key under a root key: " key)
        if (deleting) { if (dump) printf "%s\t\tDELETE KEY\t\n", key; next }
        if (dump) printf "%s\t\tKEY\t\n", key
        next
    }
    if (substr($0, 1, 1) == "\"" || substr($0, 1, 1) == "@") { value($0); next }
    err("neither a key, a value nor a comment")
}
END {
    if (bad) exit 1
    if (NR == 0) { lineno = 0; err("empty file") }
    if (pending != "") err("a byte list ends with a continuation")
}' "$file"
