#!/usr/bin/env bash
# Runs a 32-bit x86 program of the host build: natively where the kernel can, otherwise
# under qemu's i386 user-mode emulator. The build leaves its 32-bit probe beside it.
set -euo pipefail
probe="$(dirname "$1")/i386-probe/probe"
if [ -x "$probe" ] && ! "$probe" 2>/dev/null; then
    exec qemu-i386 -L / "$@"
fi
exec "$@"
