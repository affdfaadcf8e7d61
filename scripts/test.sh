#!/usr/bin/env bash
# Everything the project checks: installs what is missing, builds the host build and both Windows
# builds, runs the unit tests (under AddressSanitizer and UndefinedBehaviorSanitizer), checks the
# Windows executable's imports and resources, runs clang-format and clang-tidy, and fuzzes the
# whole dialogue for a minute.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh host windows windows64
ctest --preset host
ctest --preset windows
bash scripts/lint.sh
bash scripts/fuzz.sh 60
