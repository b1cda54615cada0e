#!/usr/bin/env bash
# Builds and tests everything, the way CI does:
#   1. installs the missing Debian packages (as root; otherwise prints the command);
#   2. the normal build in build/ and all its tests (unit, process, end-to-end);
#      then a sample of them under valgrind's memcheck (scripts/valgrind.sh);
#   3. an AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/ and
#      its tests, failing on any sanitizer report;
#   4. scripts/fuzz.sh 20 and scripts/test_windows.sh, when they exist;
#   5. the Debian package and the Windows .zip (scripts/package.sh), each
#      tested: installed into a throwaway root, or unpacked and run under Wine;
#      then built again from two clones, which must give the same bytes.
# Every step runs even when an earlier one failed (a test step whose build
# failed counts as failed). The last line is "N passed, N failed", counting
# steps; the exit status is 1 when any step failed.
#
# Usage: scripts/test.sh   (from any directory)
set -uo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.." || exit 1
# apt-get and dpkg need ldconfig, and the module tests their daemons, from the
# sbin folders, which the shell that starts this script may leave off PATH.
export PATH=$PATH:/usr/local/sbin:/usr/sbin:/sbin
source scripts/lib/packages.sh
source scripts/lib/steps.sh

JOBS=2

install_packages() {
  local -a packages=("${MIRANDEL_BASE_PACKAGES[@]}" "${MIRANDEL_MATRIX_PACKAGES[@]}")
  [[ -f scripts/fuzz.sh ]] && packages+=("${MIRANDEL_FUZZ_PACKAGES[@]}")
  [[ -f scripts/test_windows.sh ]] && packages+=("${MIRANDEL_WINDOWS_PACKAGES[@]}")
  [[ -f scripts/package.sh ]] && packages+=("${MIRANDEL_PACKAGING_PACKAGES[@]}")
  ensure_packages "${packages[@]}"
}

# configure_and_build DIR CMAKE_ARGS...
configure_and_build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" "$@" && cmake --build "$dir" -j"$JOBS"
}

# On failure, the failed tests run once more, one at a time, and what they
# print is kept for the end of the run, where a log's tail shows it.
run_tests() {
  rm -f build/failed-tests.log
  ctest --test-dir build --output-on-failure -j"$JOBS" && return 0
  local status=$?
  {
    echo "Failed in build/: $(cut -d: -f2 build/Testing/Temporary/LastTestsFailed.log | tr '\n' ' ')"
    echo "Run again, one at a time:"
    ctest --test-dir build --rerun-failed --output-on-failure 2>&1 | tail -n 80
  } >build/failed-tests.log
  return $status
}

# The sanitizers write their reports to files under build-asan/sanitizer-reports,
# so that a report from any process counts, even one whose exit status a test
# does not look at; the reports are printed afterwards.
run_sanitized_tests() {
  local reports=$PWD/build-asan/sanitizer-reports status
  rm -rf "$reports"
  mkdir -p "$reports"
  ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:log_path=$reports/asan" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan" \
    ctest --test-dir build-asan --output-on-failure -j"$JOBS" -LE module-matrix
  status=$?
  if compgen -G "$reports/*" >/dev/null; then
    echo "Sanitizer reports:"
    local report
    for report in "$reports"/*; do
      echo "---- $report"
      cat "$report"
    done
    return 1
  fi
  return $status
}

step "install packages" install_packages

if step "build (build/)" configure_and_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMIRANDEL_TESTS=ON; then
  step "tests (build/)" run_tests
  step "valgrind memcheck (scripts/valgrind.sh)" bash scripts/valgrind.sh build
else
  not_run "tests (build/)" "build (build/)"
  not_run "valgrind memcheck (scripts/valgrind.sh)" "build (build/)"
fi

if step "sanitizer build (build-asan/)" configure_and_build build-asan \
  -DCMAKE_BUILD_TYPE=Debug -DMIRANDEL_SANITIZE=ON -DMIRANDEL_TESTS=ON; then
  step "sanitizer tests (build-asan/)" run_sanitized_tests
else
  not_run "sanitizer tests (build-asan/)" "sanitizer build (build-asan/)"
fi

if [[ -f scripts/fuzz.sh ]]; then
  step "fuzzing (scripts/fuzz.sh 20)" bash scripts/fuzz.sh 20
fi

if [[ -f scripts/test_windows.sh ]]; then
  step "Windows build and tests (scripts/test_windows.sh)" bash scripts/test_windows.sh
fi

# Makes the .deb and the .zip (reusing build-win/) and tests each, then checks
# that two clones of HEAD make the same bytes as well as these.
test_packages() {
  local status=0
  local deb=build-pkg/packages/mirandel-pkcs11-helper_1.0.4_amd64.deb
  local zip=build-win/packages/mirandel-pkcs11-helper-1.0.4-win64.zip
  if bash scripts/package.sh deb; then
    bash tests/packaging/deb_test.sh "$deb" "$PWD" || status=1
  else
    status=1
  fi
  if bash scripts/package.sh zip; then
    bash tests/packaging/zip_test.sh "$zip" "$PWD" || status=1
  else
    status=1
  fi
  if ((status == 0)); then
    bash tests/packaging/reproducible_test.sh "$PWD" "$deb" "$zip" || status=1
  else
    bash tests/packaging/reproducible_test.sh "$PWD" || status=1
  fi
  return $status
}

if [[ -f scripts/package.sh ]]; then
  step "packages (scripts/package.sh, then tests/packaging/{deb,zip,reproducible}_test.sh)" \
    test_packages
fi

if [[ -s build/failed-tests.log ]]; then
  echo
  echo "==== The failed tests of build/"
  cat build/failed-tests.log
fi

steps_summary Summary
