#!/usr/bin/env bash
# Prints figures for the request reader: time and peak memory to skip an extra
# member nested 1, 10 and 100 million levels deep. Not a test: the numbers
# depend on the machine. Usage: scripts/bench.sh [DEPTH...]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target json_depth_bench >/dev/null
depths=("$@")
((${#depths[@]})) || depths=(1000000 10000000 100000000)
for depth in "${depths[@]}"; do
  build/tests/bench/json_depth_bench "$depth"
done
