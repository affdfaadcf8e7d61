#!/usr/bin/env bash
# Installs what is missing, builds the Windows executable, and runs it in this terminal on a
# throwaway Wine machine where velkor is installed for real. Answer it yourself. With standard
# input not a terminal, it reads the answer from standard input.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh windows windows64 >/dev/null
exec python3 scripts/demo.py
