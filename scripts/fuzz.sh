#!/usr/bin/env bash
# Builds every libFuzzer target (tests/fuzz/*_fuzz.cpp) into build-fuzz/ with
# clang++-19, AddressSanitizer and UndefinedBehaviorSanitizer, then runs each
# for SECONDS seconds, starting from its seed corpus tests/fuzz/corpus/<name>/
# (<name> is the file name without _fuzz.cpp). New inputs go to
# build-fuzz/corpus/<name>/, never into the repository; a crashing input is
# kept as build-fuzz/artifacts/<name>/crash-*.
#
# Usage: scripts/fuzz.sh [SECONDS]   (default 300; from any directory)
# Exit status: 0 when every target built and ran its time without a crash,
# timeout, leak or sanitizer report; 1 otherwise.
set -uo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.." || exit 1

seconds=${1:-300}
if ! [[ $seconds =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: scripts/fuzz.sh [SECONDS]" >&2
  exit 2
fi

CXX=${MIRANDEL_FUZZ_CXX:-clang++-19}
if [[ -f scripts/lib/packages.sh ]]; then
  source scripts/lib/packages.sh
  ensure_packages cmake make "${MIRANDEL_FUZZ_PACKAGES[@]}" || exit 1
fi
if ! command -v "$CXX" >/dev/null; then
  echo "fuzz: $CXX not found (Debian 12: apt-get install clang-19 libclang-rt-19-dev)" >&2
  exit 1
fi

build=build-fuzz
cmake -S tests/fuzz -B "$build" -DCMAKE_CXX_COMPILER="$CXX" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  >/dev/null || exit 1
cmake --build "$build" -j2 || exit 1

shopt -s nullglob
sources=(tests/fuzz/*_fuzz.cpp)
if ((${#sources[@]} == 0)); then
  echo "fuzz: no targets under tests/fuzz/" >&2
  exit 1
fi

failed=()
for source in "${sources[@]}"; do
  target=$(basename "$source" .cpp)
  name=${target%_fuzz}
  corpus=$build/corpus/$name
  artifacts=$build/artifacts/$name
  mkdir -p "$corpus" "$artifacts"
  seeds=()
  [[ -d tests/fuzz/corpus/$name ]] && seeds=("tests/fuzz/corpus/$name")
  echo "==== fuzzing $target for $seconds s"
  # -timeout: one input taking this long counts as a hang and fails the run.
  # Leak detection stays on: a leak is a failure too.
  if "$build/$target" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 \
    -max_len=16384 -print_final_stats=1 -artifact_prefix="$artifacts/" \
    "$corpus" "${seeds[@]}" >"$build/$target.log" 2>&1; then
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb):' "$build/$target.log"
    echo "==== $target: no crash"
  else
    tail -n 60 "$build/$target.log"
    echo "==== $target: FAILED (log: $build/$target.log, inputs: $artifacts/)"
    failed+=("$target")
  fi
done

if ((${#failed[@]} > 0)); then
  echo "fuzz: failed: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz: all ${#sources[@]} targets ran $seconds s without a failure"
