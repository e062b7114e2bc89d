#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build for a bounded time each:
#   run-fuzzers.sh BUILD_DIR [SECONDS]
set -euo pipefail
build=$1
secs=${2:-20}
list="$build/fuzzers.txt"
[ -f "$list" ] || { echo "no fuzz targets listed in $list"; exit 1; }
failed=0; passed=0
while read -r exe; do
  [ -n "$exe" ] || continue
  name=$(basename "$exe")
  corpus=$(mktemp -d)
  echo "== fuzz $name (${secs}s)"
  if "$exe" -max_total_time="$secs" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 "$corpus" >"$build/$name.log" 2>&1; then
    passed=$((passed + 1)); tail -n 3 "$build/$name.log"
  else
    failed=$((failed + 1)); echo "FAILED: $name"; tail -n 60 "$build/$name.log"
  fi
  rm -rf "$corpus"
done < "$list"
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
