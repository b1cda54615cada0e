#!/usr/bin/env bash
# Runs the calling examples of examples/ (Python, C# built with Mono's mcs and
# run with mono, Node.js) against a throwaway SoftHSM2 token: each must list,
# sign with the token's certificate (the signature must verify), and tell the
# failures apart: a wrong PIN and a missing module are documents with an
# error (example status 1), a helper that gives no document is status 2.
# The Node one runs with its own standard output on a pipe, which Node makes
# non-blocking, as a Node caller inside another program would be run.
#
# Usage: examples_test.sh HELPER REPO_ROOT
set -euo pipefail

here=$(dirname "${BASH_SOURCE[0]}")
source "$here/../../scripts/lib/e2e.sh"
source "$here/../../scripts/lib/softhsm.sh"
source "$here/../../scripts/lib/hex.sh"
source "$here/demo_token.sh"
e2e_init "$@" --needs softhsm2-util pkcs11-tool openssl /usr/bin/python3 mcs mono node \
  "$SOFTHSM_MODULE"

make_demo_token "$WORK"
cert_hex=$(hex_of_file "$WORK/signer.cert.der")

mcs -r:System.Runtime.Serialization.dll -out:"$WORK/MirandelExample.exe" \
  "$REPO/examples/csharp/MirandelExample.cs" >"$WORK/mcs.log" 2>&1 ||
  fail "the C# example builds with mcs" "$(cat "$WORK/mcs.log")"

# The three ways to start each example: example_command NAME prints nothing, sets CMD.
example_command() {
  case $1 in
    python) CMD=(/usr/bin/python3 "$REPO/examples/python/mirandel_example.py") ;;
    csharp) CMD=(mono "$WORK/MirandelExample.exe") ;;
    node) CMD=(node "$REPO/examples/node/mirandel_example.js") ;;
  esac
}

# run_example NAME ARGS... : standard output in $WORK/ex.out (through a pipe),
# standard error in $WORK/ex.err, status in EX_STATUS.
run_example() {
  example_command "$1"
  shift
  set +e
  # Through cat: the example's standard output is a pipe, not a file.
  "${CMD[@]}" "$@" 2>"$WORK/ex.err" | cat >"$WORK/ex.out"
  EX_STATUS=${PIPESTATUS[0]}
  set -e
}

WRONG_PIN="Login fallito (PIN errato?): Function::Login: PKCS11 error: The specified PIN is \
incorrect, i.e., does not match the PIN stored on the token.  More generally-- when \
authentication to the token involves something other than a PIN-- the attempt to authenticate \
the user has failed."

for example in python csharp node; do
  run_example "$example" "$HELPER" "$SOFTHSM_MODULE" "$DEMO_PIN"
  check_equal "$example: lists and signs (status)" "0 " "$EX_STATUS $(cat "$WORK/ex.err")"
  check_equal "$example: uses the token's certificate" "certificate: $cert_hex" \
    "$(grep '^certificate: ' "$WORK/ex.out" || true)"
  signature=$(sed -n 's/^signature: //p' "$WORK/ex.out")
  check_demo_signature "$example" "$signature" "$WORK"

  run_example "$example" "$HELPER" "$SOFTHSM_MODULE" 0000
  check_equal "$example: a wrong PIN is a document with an error" \
    "1 signing failed: $WRONG_PIN" "$EX_STATUS $(cat "$WORK/ex.err")"

  run_example "$example" "$HELPER" "$WORK/no-such-module.so" "$DEMO_PIN"
  check_equal "$example: a missing module is a document with an error" \
    "1 listing failed: Modulo PKCS#11 non caricabile: libloading error (LoadLibraryExW failed)" \
    "$EX_STATUS $(cat "$WORK/ex.err")"

  # A blank module path: the helper prints its usage line and no document.
  run_example "$example" "$HELPER" " " "$DEMO_PIN"
  check_equal "$example: no document (usage line) is told apart" 2 "$EX_STATUS"
  check_true "$example: it says the helper gave no document" \
    grep -q 'the helper gave no document: status 2: uso: mirandel-pkcs11-helper' "$WORK/ex.err"
done

e2e_finish
