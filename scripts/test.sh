#!/usr/bin/env bash
# Everything the project checks: installs what is missing, builds the host build and both Windows
# builds, runs the unit tests (under AddressSanitizer and UndefinedBehaviorSanitizer), checks the
# Windows executable's imports and resources, runs the end-to-end scenarios on the host build and
# under Wine in every configuration the machine allows, runs clang-format and clang-tidy, checks
# the fleet playbook, checks that releases rebuild byte for byte and sign and verify, and fuzzes
# the whole dialogue for a minute.
set -euo pipefail
cd "$(dirname "$0")/.."
# What ran under Wine and what could not, repeated at the end where it cannot be missed.
wine_summary=$(mktemp)
trap 'rm -f "$wine_summary"' EXIT
bash scripts/setup.sh
bash scripts/build.sh host windows windows64
ctest --preset host
ctest --preset windows
# The shipped exe in every Wine configuration this machine can run; the x86-64 build only where
# it can run none.
python3 tests/e2e/run_scenarios.py --host build/host/velkor-remover-host \
    --exe build/windows/velkor-remover.exe --exe64 build/windows64/velkor-remover.exe | tee "$wine_summary"
bash scripts/lint.sh
bash scripts/check-playbook.sh
bash scripts/check-release.sh | tee -a "$wine_summary"
bash scripts/fuzz.sh 60
echo "test: all checks passed"
grep -E '^(e2e: (not run|[0-9]+ passed)|not run here|release: [0-9]+ passed)' "$wine_summary"
