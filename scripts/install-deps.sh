#!/usr/bin/env bash
# Installs what the two builds need on Debian 12, and nothing when it is all there.
# A package index that cannot be refreshed is not fatal: the install is tried anyway.
set -euo pipefail

# qemu-user: the 32-bit programs run under qemu-i386 where the kernel cannot run them, and
# the host suites run under it a second time where it can; the benchmarks count with it.
packages=(cmake ninja-build g++ g++-multilib g++-mingw-w64-i686 binutils-mingw-w64-i686
          mingw-w64-i686-dev googletest clang libclang-rt-14-dev libcli11-dev nlohmann-json3-dev qemu-user)

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

