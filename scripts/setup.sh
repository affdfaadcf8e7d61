#!/usr/bin/env bash
# Installs what the builds and tests need, from Debian's packages. Run as root; does nothing
# when everything is already there.
set -euo pipefail

packages=(cmake make g++ libgtest-dev clang-format clang-tidy clang libclang-rt-14-dev python3 tmux
          g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 wine wine64 ansible hyperfine)

missing=()
for package in "${packages[@]}" wine32:i386; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# wine32 runs the 32-bit executable on machines whose kernel executes 32-bit code.
dpkg --add-architecture i386
apt-get update -q
apt-get install -y -q --no-install-recommends "${packages[@]}" wine32:i386
