#!/usr/bin/env bash
# Installs what the two builds need on Debian 12, and nothing when it is all there.
# A package index that cannot be refreshed is not fatal: the install is tried anyway.
# Where the kernel runs no 32-bit x86 programs, qemu's user-mode emulator runs them; the
# benchmarks need it everywhere.
set -euo pipefail

packages=(cmake ninja-build g++ g++-multilib g++-mingw-w64-i686 binutils-mingw-w64-i686
          mingw-w64-i686-dev googletest clang libclang-rt-14-dev libcli11-dev nlohmann-json3-dev)

missing() {
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
    done
}

install() {
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "installing: $*"
    if [ -z "${QOR_APT_UPDATED:-}" ]; then
        $sudo apt-get update || echo "apt-get update failed; installing with the current index" >&2
        QOR_APT_UPDATED=1
    fi
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "$@"
}

need=$(missing "${packages[@]}")
[ -z "$need" ] || install $need

# Can this kernel run a 32-bit program?
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
echo 'int main(void) { return 0; }' > "$probe/p.c"
gcc -m32 "$probe/p.c" -o "$probe/p"
# The benchmarks (QOR_BENCH_DEPS=1) count instructions under qemu-i386 on every kernel.
if [ -n "${QOR_BENCH_DEPS:-}" ] || ! "$probe/p" 2>/dev/null; then
    need=$(missing qemu-user)
    [ -z "$need" ] || install qemu-user
fi
