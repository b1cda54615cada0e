#!/usr/bin/env bash
# Builds the Windows programs, x64 then x86 (scripts/build_windows.sh), and
# tests each under Wine, the x64 build first:
#   1. the executable imports system DLLs only, and its resources read back
#      right (version record, manifest, icon sizes);
#   2. the unit tests, cross-built with GoogleTest, run under Wine;
#   3. the process tests (tests/process/, a Linux binary) drive the .exe and the
#      mock PKCS#11 DLLs of its own build under Wine, followed by the
#      Windows-only process tests (tests/windows/windows_process_test.cpp:
#      Unicode paths, raw command lines, exact stream bytes, modules that
#      import DLLs kept beside them, and the other build's mock DLL);
#   4. a document with accented letters printed on a Wine console (under tmux)
#      whose code page is not UTF-8, and on one whose code page is 65001;
#   5. the x64 .exe on a real module: SoftHSM2 cross-built for Windows
#      (scripts/build_softhsm_windows.sh, cached outside the clone) under Wine,
#      against the Linux build's documents (tests/e2e/windows_softhsm.sh).
# The x86 build runs steps 1 to 4 under Wine's 32-bit support (wine32), in the
# same prefix.
# Wine runs in a throwaway prefix under build-win/. When Wine cannot start
# here, the script says so and fails: it never passes without running.
# The last line is "N passed, N failed", counting steps.
#
# Usage: scripts/test_windows.sh   (from any directory)
set -uo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.." || exit 1
source scripts/lib/packages.sh
source scripts/lib/steps.sh
STEP_MARK=----
STEP_BRIEF=1
root=$PWD

# One run at a time per work tree: two runs would build build-win/ at once and
# share one Wine prefix, whose server the first to finish shuts down.
mkdir -p build-win
exec 9>build-win/test_windows.lock
if ! flock -w 3600 9; then
  echo "Another scripts/test_windows.sh has held build-win/ for an hour; giving up." >&2
  exit 1
fi

finish() {
  steps_summary "Windows summary"
  if [[ -n ${WINEPREFIX:-} ]] && command -v wineserver >/dev/null; then
    wineserver -k 2>/dev/null || true
  fi
  ((STEPS_FAILED == 0 && STEPS_PASSED > 0))
  exit $?
}

if ! step "install packages" ensure_packages "${MIRANDEL_WINDOWS_PACKAGES[@]}" tmux python3 \
  googletest libgtest-dev libp11-kit-dev cmake make g++; then
  finish
fi

# The two builds, by processor: the build directory of each.
declare -A build_dir=([x64]=build-win [x86]=build-win-x86)
# The other build of each, whose mock DLL it is given in the process tests.
declare -A other=([x64]=x86 [x86]=x64)
declare -A built=()
for arch in x64 x86; do
  if step "$arch: Windows build (scripts/build_windows.sh Release $arch)" \
    bash scripts/build_windows.sh Release "$arch"; then
    built[$arch]=1
    step "$arch: resources read back from the executable" \
      python3 tests/windows/check_resources.py "${build_dir[$arch]}/mirandel-pkcs11-helper.exe"
  fi
done
if ((${#built[@]} == 0)); then
  finish
fi

# ---- Wine ----------------------------------------------------------------------
export WINEPREFIX=$root/build-win/wine-prefix
export WINEDEBUG=-all
# Wine turns Windows file names into Unix ones in the locale's character set:
# under the C locale a name such as "Città" cannot be made at all, and the
# tests of Unicode paths fail for the caller's locale, not for the program.
export LC_ALL=C.UTF-8
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer dialogs

start_wine() {
  if ! command -v wine >/dev/null; then
    echo "Wine is not installed: the Windows tests cannot run here." >&2
    return 1
  fi
  # One wineserver for the whole run. It must be started before anything else
  # in the prefix: a server started by the first Wine process quits three
  # seconds after its last client, and a process that connects while it is
  # quitting dies ("recvmsg: Connection reset by peer"). The lock above makes
  # any server of this prefix a leftover of an earlier run.
  mkdir -p "$WINEPREFIX"
  wineserver -k 2>/dev/null
  wineserver -w 2>/dev/null
  wineserver -p 900 2>/dev/null
  # The first start creates the prefix, which can take a minute or two.
  if ! timeout 600 wineboot -i >"$root/build-win/wineboot.log" 2>&1; then
    echo "Wine cannot start here (wineboot failed; see build-win/wineboot.log)." >&2
    return 1
  fi
  # Each program built must run: no argument gives the usage line and status 2.
  local arch err status
  for arch in "${!built[@]}"; do
    err=$(timeout 120 wine "$root/${build_dir[$arch]}/mirandel-pkcs11-helper.exe" 2>&1 >/dev/null)
    status=$?
    if ((status != 2)); then
      echo "Wine cannot run the $arch program here (status $status): $err" >&2
      return 1
    fi
  done
}

if ! step "start Wine" start_wine; then
  finish
fi

run_unit_tests() {
  # Run from the build directory on drive Z:, so that the tests' absolute
  # source paths resolve.
  (cd "$1/tests" && timeout 900 wine ./unit_tests.exe)
}

build_host_tests() {
  cmake -S . -B build-win-host -DCMAKE_BUILD_TYPE=Debug -DMIRANDEL_TESTS=ON >/dev/null &&
    cmake --build build-win-host -j2 --target process_tests windows_process_tests
}

# The environment of the process tests for the build in directory $1 of
# processor $2.
set_host_test_environment() {
  local dir=$root/$1 foreign=${other[$2]}
  host_test_environment=(
    MIRANDEL_TEST_EXE="$dir/mirandel-pkcs11-helper.exe"
    MIRANDEL_TEST_MOCK_DIR="$dir/tests/mock"
    MIRANDEL_TEST_MOCK_SUFFIX=.dll
    MIRANDEL_TEST_LAUNCHER=wine
    MIRANDEL_TEST_WINDOWS_LAUNCHER="$dir/tests/windows/mirandel_launcher.exe"
    MIRANDEL_TEST_BESIDE_DIR="$dir/tests/windows/beside"
    MIRANDEL_TEST_FOREIGN_MOCK_DIR="$root/${build_dir[$foreign]}/tests/mock"
    MIRANDEL_TEST_FOREIGN_MACHINE="$foreign"
  )
}

# Runs a GoogleTest binary of process tests under Wine: run_wine_process_tests
# SECONDS BINARY. Now and then Wine fails to start a process at all (status 1
# within milliseconds, nothing on either stream) while the machine is loaded;
# so the tests that failed are run once more, by name, and the step passes
# only if every one of them passes then. The retry is announced, never silent.
run_wine_process_tests() {
  local seconds=$1 binary=$2 log status
  log=$(mktemp)
  env "${host_test_environment[@]}" timeout "$seconds" "$binary" 2>&1 | tee "$log"
  status=${PIPESTATUS[0]}
  if ((status != 0)); then
    local -a failed
    mapfile -t failed < <(sed -nE 's/^\[  FAILED  \] ([A-Za-z0-9_/.]+)(, where .*)?$/\1/p' "$log" |
      sort -u)
    if ((${#failed[@]} > 0 && ${#failed[@]} <= 5)); then
      local filter
      filter=$(IFS=:; echo "${failed[*]}")
      echo "RETRY: ${#failed[@]} failed test(s) run once more under Wine: $filter"
      env "${host_test_environment[@]}" timeout "$seconds" "$binary" --gtest_filter="$filter"
      status=$?
    fi
  fi
  rm -f "$log"
  return "$status"
}

host_tests_built=
if step "build the Linux process-test runners (build-win-host/)" build_host_tests; then
  host_tests_built=1
fi

# ---- Console -------------------------------------------------------------------
# Runs the program in a tmux pane, where Wine gives it a real console, and
# compares the pane's first line with the document: console_check BUILD_DIR
# CODE_PAGE, the program and mock of BUILD_DIR. CODE_PAGE empty keeps
# Wine's default (437); otherwise chcp sets it first. Printed as UTF-8 bytes on
# a code-page-437 console, the document would show "Citt├á Γé¼".
console_check() {
  local dir=$1 code_page=$2 work session expected line command
  work=$(mktemp -d)
  session=mirandel-console-$$-$dir-${code_page:-default}
  printf 'slot 1\ndescription text:Lettore \xc3\xa8\nlabel text:Citt\xc3\xa0 \xe2\x82\xac\nobject cert value=3082aa\n' \
    >"$work/scenario.txt"
  expected='{"slots":[{"description":"Lettore è","token_label":"Città €","certs":[{"der_hex":"3082aa"}]}],"error":null}'
  # A batch file sets the code page and starts the program in the same console.
  {
    [[ -n $code_page ]] && printf '@chcp %s >nul\r\n' "$code_page"
    printf '@"Z:%s\\%s\\mirandel-pkcs11-helper.exe" "Z:%s\\%s\\tests\\mock\\mirandel_mock_fl.dll"\r\n' \
      "${root//\//\\}" "$dir" "${root//\//\\}" "$dir"
  } >"$work/run.cmd"
  command="env LANG=C.UTF-8 WINEPREFIX='$WINEPREFIX' WINEDEBUG=-all"
  command+=" MIRANDEL_MOCK_SCENARIO='Z:${work//\//\\}\\scenario.txt'"
  command+=" wine cmd /c 'Z:${work//\//\\}\\run.cmd'; echo MIRANDEL-END; sleep 600"
  # A tmux server of our own, apart from any other on the machine.
  local -a tmux=(tmux -L "$session" -u -f /dev/null)
  "${tmux[@]}" new-session -d -s "$session" -x 250 -y 10 "$command"
  for _ in $(seq 1 120); do
    "${tmux[@]}" capture-pane -t "$session" -p | grep -q MIRANDEL-END && break
    sleep 1
  done
  line=$("${tmux[@]}" capture-pane -t "$session" -p | head -n 1)
  "${tmux[@]}" kill-server 2>/dev/null
  rm -rf "$work"
  if [[ $line == "$expected" ]]; then
    echo "The console shows: $line"
    return 0
  fi
  echo "Expected on the console: $expected" >&2
  echo "Shown on the console:    $line" >&2
  return 1
}

for arch in x64 x86; do
  if [[ -z ${built[$arch]:-} ]]; then
    not_run "$arch: tests under Wine" "$arch: Windows build"
    continue
  fi
  dir=${build_dir[$arch]} started=$SECONDS
  step "$arch: unit tests under Wine" run_unit_tests "$dir"
  if [[ -n $host_tests_built ]]; then
    set_host_test_environment "$dir" "$arch"
    step "$arch: process tests against the .exe under Wine" \
      run_wine_process_tests 1800 build-win-host/tests/process/process_tests
    step "$arch: Windows-only process tests under Wine" \
      run_wine_process_tests 900 build-win-host/tests/windows/windows_process_tests
  fi
  step "$arch: accented document on a Wine console, code page 437 (WriteConsoleW)" \
    console_check "$dir" ""
  step "$arch: accented document on a Wine console, code page 65001 (UTF-8 bytes)" \
    console_check "$dir" 65001
  echo "($arch: tested under Wine in $((SECONDS - started)) s)"
done

# ---- Real module ---------------------------------------------------------------
# SoftHSM2 and libcrypto cross-built for Windows (scripts/build_softhsm_windows.sh,
# cached outside the clone: a quarter of an hour or more the first time on a
# machine, seconds after), then the .exe on it under Wine, against the Linux
# build's documents for the same tokens (tests/e2e/windows_softhsm.sh).
real_module_e2e() {
  local vendor
  vendor=$(bash scripts/build_softhsm_windows.sh) || return 1
  ensure_packages softhsm2 opensc openssl || return 1
  cmake -S . -B build-win-host -DCMAKE_BUILD_TYPE=Debug -DMIRANDEL_TESTS=ON >/dev/null &&
    cmake --build build-win-host -j2 --target mirandel-pkcs11-helper >/dev/null || return 1
  MIRANDEL_WINDOWS_EXE=$root/${build_dir[x64]}/mirandel-pkcs11-helper.exe MIRANDEL_WINDOWS_SOFTHSM=$vendor timeout 1200 \
    bash tests/e2e/windows_softhsm.sh "$root/build-win-host/mirandel-pkcs11-helper" "$root"
}
if [[ -n ${built[x64]:-} ]]; then
  step "x64: real SoftHSM2 module for Windows under Wine (tests/e2e/windows_softhsm.sh)" \
    real_module_e2e
else
  not_run "x64: real SoftHSM2 module for Windows under Wine" "x64: Windows build"
fi

finish
