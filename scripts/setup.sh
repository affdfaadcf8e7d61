#!/usr/bin/env bash
# Installs what the builds and tests need, from Debian's packages. Run as root. Quick and silent
# when everything is already there.
#
# Required: the toolchains, 64-bit Wine and the test tools; set-up fails, naming the package, only
# when one of these cannot be installed. Optional: 32-bit Wine (wine32:i386), which runs the
# shipped 32-bit exe; it is installed only where the kernel executes 32-bit code, and where it
# cannot be installed set-up says why in one line and goes on.
set -euo pipefail

required=(cmake make g++ git libgtest-dev clang-format clang-tidy clang libclang-rt-14-dev python3 tmux
          g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 wine wine64 ansible hyperfine
          osslsigncode openssl
          # An amd64 package: its 32-bit loader tells whether this kernel executes 32-bit code.
          libc6-i386)
optional32=wine32:i386

update_log=$(mktemp)
install_log=$(mktemp)
trap 'rm -f "$update_log" "$install_log"' EXIT
export DEBIAN_FRONTEND=noninteractive

installed() {
    [ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" = installed ]
}

not_installed() {
    local package
    for package in "$@"; do
        installed "$package" || echo "$package"
    done
}

# Some kernels refuse every 32-bit ELF ("Exec format error"); 32-bit Wine cannot start there.
kernel_runs_32bit() {
    /lib/ld-linux.so.2 --version >/dev/null 2>&1
}

# A mirror in the middle of a sync can serve an index whose size its Release file does not list.
# One retry; then apt goes on with the indexes that did download, and an install below fails only
# if a package it needs is really missing.
# Done once, unless an architecture was added since.
indexes_fresh=false
update_indexes() {
    $indexes_fresh && return 0
    indexes_fresh=true
    apt-get update -q >"$update_log" 2>&1 && return 0
    sleep 3
    apt-get update -q >"$update_log" 2>&1 || true
}

# The indexes that failed to download in the last update, with apt's reason, on one line.
failed_indexes() {
    sed -n 's/^E: Failed to fetch \(http[^ ]*\) *\(.*\)$/\1 (\2)/p' "$update_log" | paste -sd ';' -
}

# apt's explanation of the last failed install, on one line: an unmet dependency (an i386 one
# first), else its error.
apt_reason() {
    { grep -E '^ [^ ]+:i386 : ' "$install_log" || grep -E '^ [^ ]+ : ' "$install_log" ||
        grep -E '^E: ' "$install_log" || true; } | head -n 1 | sed 's/^ *//'
}

install() {
    apt-get install -y -q --no-install-recommends "$@" >"$install_log" 2>&1
}

# Installs the required packages that are missing, or fails naming those that cannot be had.
install_required() {
    [ $# -gt 0 ] || return 0
    install "$@" && return 0
    local reason package unavailable=()
    reason=$(apt_reason)
    for package in "$@"; do
        apt-get install -s -q --no-install-recommends "$package" >/dev/null 2>&1 || unavailable+=("$package")
    done
    echo "setup: cannot install ${unavailable[*]:-$*}: $reason${failed:+; indexes that did not download: $failed}" >&2
    exit 1
}

mapfile -t missing < <(not_installed "${required[@]}")
want32=false
if kernel_runs_32bit && ! installed "$optional32"; then
    want32=true
fi
if [ ${#missing[@]} -eq 0 ] && ! $want32; then
    exit 0
fi

echo "setup: installing${missing[*]:+ ${missing[*]}}$($want32 && echo " $optional32")"
failed=
if ! installed libc6-i386; then
    update_indexes
    install_required libc6-i386
    kernel_runs_32bit && ! installed "$optional32" && want32=true
    mapfile -t missing < <(not_installed "${required[@]}")
fi
if ! $want32; then
    installed "$optional32" || echo "setup: this kernel does not execute 32-bit code; 32-bit Wine is left out"
    update_indexes
    failed=$(failed_indexes)
    install_required "${missing[@]}"
    exit 0
fi

# 32-bit Wine and 64-bit Wine go in one transaction, so their shared libraries come from the same
# index for both architectures: i386 and amd64 copies of a library must have the same version.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    indexes_fresh=false
fi
update_indexes
failed=$(failed_indexes)
if install "${missing[@]}" "$optional32"; then
    exit 0
fi
reason="apt: $(apt_reason)"
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
if [[ "$failed" == *"${codename}-security"*binary-i386* ]]; then
    # Without that index, i386 copies of the libraries that amd64 has from the security suite are
    # missing. Taking both architectures from the release's own suite matches them, unless a
    # library is installed already at a newer security version.
    if install -t "$codename" "${missing[@]}" "$optional32"; then
        echo "setup: ${codename}-security's i386 index did not download, so Wine and its libraries came from ${codename}'s own index"
        exit 0
    fi
    reason="apt, taking ${codename}'s own index: $(apt_reason)"
fi
echo "setup: $optional32 cannot be installed, so the shipped 32-bit exe will not run here: ${failed:+index not downloaded: $failed; }$reason"
install_required "${missing[@]}"
