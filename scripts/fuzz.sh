#!/usr/bin/env bash
# Builds the libFuzzer target and runs it for the given number of seconds (default 60), starting
# from the checked-in seeds. Without a limit: bash scripts/fuzz.sh 0
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
bash scripts/build.sh fuzz >/dev/null
corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
# New inputs go to a scratch corpus; the seeds stay as checked in. Findings land in build/fuzz.
build/fuzz/velkor_fuzz -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix=build/fuzz/ \
    "$corpus" tests/fuzz/corpus 2>&1 | grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb|INFO: seed corpus)|violation|ERROR|SUMMARY'
status=${PIPESTATUS[0]}
echo "fuzz: $(find "$corpus" -type f | wc -l) new inputs kept, exit status $status"
exit "$status"
