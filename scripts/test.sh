#!/usr/bin/env bash
# Everything the project checks: installs what is missing, builds the host build and both Windows
# builds, runs the unit tests (under AddressSanitizer and UndefinedBehaviorSanitizer), checks the
# Windows executable's imports and resources, runs the end-to-end scenarios on the host build and
# under Wine in every configuration the machine allows, runs clang-format and clang-tidy, checks
# the fleet playbook, and fuzzes the whole dialogue for a minute.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh host windows windows64
ctest --preset host
ctest --preset windows
# The shipped exe in every Wine configuration this machine can run; the x86-64 build only where
# it can run none.
python3 tests/e2e/run_scenarios.py --host build/host/velkor-remover-host \
    --exe build/windows/velkor-remover.exe --exe64 build/windows64/velkor-remover.exe
bash scripts/lint.sh
bash scripts/check-playbook.sh
bash scripts/fuzz.sh 60
