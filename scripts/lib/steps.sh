# shellcheck shell=bash
# The steps of scripts/test.sh and scripts/test_windows.sh: each is announced,
# run and tallied, and every step runs even when an earlier one failed.
#
#   step NAME COMMAND...   runs COMMAND and returns its status
#   not_run NAME NEEDED    counts NAME as failed without running it: NEEDED failed
#   steps_summary TITLE    prints one line per step, then "N passed, N failed";
#                          returns 1 when any step failed
#
# STEP_MARK opens every line that announces a step. scripts/test_windows.sh,
# whose whole run is one step of scripts/test.sh, marks its own with "----"
# and sets STEP_BRIEF=1: no durations and no closing line per step, which the
# outer step gives for the whole.

STEP_MARK='===='
STEP_BRIEF=0
STEPS_PASSED=0
STEPS_FAILED=0
STEP_RESULTS=()

step() {
  local name=$1 start=$SECONDS status took=
  shift
  echo
  echo "$STEP_MARK $name"
  "$@"
  status=$?
  if ((!STEP_BRIEF)); then
    took="$((SECONDS - start)) s"
  fi
  if ((status == 0)); then
    STEPS_PASSED=$((STEPS_PASSED + 1))
    STEP_RESULTS+=("PASS  $name${took:+ ($took)}")
  else
    STEPS_FAILED=$((STEPS_FAILED + 1))
    STEP_RESULTS+=("FAIL  $name (${took:+$took, }status $status)")
  fi
  if ((!STEP_BRIEF)); then
    echo "$STEP_MARK $name: $([[ $status == 0 ]] && echo passed || echo "FAILED (status $status)")"
  fi
  return $status
}

not_run() {
  STEPS_FAILED=$((STEPS_FAILED + 1))
  STEP_RESULTS+=("FAIL  $1 (not run: $2 failed)")
  echo
  echo "$STEP_MARK $1: not run, $2 failed"
}

steps_summary() {
  echo
  echo "$STEP_MARK $1"
  printf '%s\n' "${STEP_RESULTS[@]}"
  echo "$STEPS_PASSED passed, $STEPS_FAILED failed"
  ((STEPS_FAILED == 0))
}
