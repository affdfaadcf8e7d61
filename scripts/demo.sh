#!/usr/bin/env bash
# Builds the host executable and runs it in this terminal: the tool on a simulated machine where
# velkor is installed. Answer it yourself.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh host >/dev/null
exec build/host/velkor-remover-host
