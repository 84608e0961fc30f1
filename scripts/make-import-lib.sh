#!/usr/bin/env bash
# Writes qorpelk.def with the stdcall-decorated names and builds the import library from
# it with --kill-at: clients reference _QorOpenDevice@4, the image exports QorOpenDevice.
set -euo pipefail
dlltool=$1 linker_def=$2 def=$3 implib=$4
{
    echo "LIBRARY qorpelk.sys"
    echo "EXPORTS"
    awk '/^EXPORTS/ {on=1; next} on && NF {print "    " $3}' "$linker_def"
} > "$def"
"$dlltool" --def "$def" --dllname qorpelk.sys --output-lib "$implib" --kill-at
