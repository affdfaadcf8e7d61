#!/usr/bin/env bash
# clang-format and clang-tidy over every C++ source, using the host build's compile commands.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/host}
mapfile -t sources < <(git ls-files -co --exclude-standard -- '*.cpp' '*.h')
clang-format --dry-run -Werror "${sources[@]}"
# platform_win32.cpp is compiled only by the Windows build, against the real <windows.h>.
printf '%s\n' "${sources[@]}" | grep '\.cpp$' | grep -v 'platform_win32\.cpp$' |
    xargs -P "$(nproc)" -n 2 clang-tidy --quiet -p "$build"
echo "lint: clang-format and clang-tidy clean on ${#sources[@]} files"
