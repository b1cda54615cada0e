#!/usr/bin/env bash
# Runs the calling examples of examples/ (Python, C# built with Mono's mcs and
# run with mono, Node.js) against a throwaway SoftHSM2 token: each must list,
# sign with the token's certificate (the signature must verify), and tell the
# failures apart: a wrong PIN and a missing module are documents with an
# error (example status 1), a helper that gives no document is status 2.
# The examples run with their standard output on a pipe, which Node makes
# non-blocking; and a Node program hands that non-blocking pipe to the helper
# itself (stdio "inherit"), which must still deliver the whole listing.
#
# Usage: examples_test.sh HELPER REPO_ROOT
set -euo pipefail

here=$(dirname "${BASH_SOURCE[0]}")
source "$here/../../scripts/lib/e2e.sh"
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

# A Node program that hands its own standard output to the helper (stdio
# "inherit"): Node has made that pipe non-blocking, and the helper must still
# deliver the whole document on it.
set +e
node -e '
  const { spawn } = require("node:child_process");
  process.stdout.write(""); // Node sets its stdout pipe non-blocking here
  const flags = require("node:fs").readFileSync("/proc/self/fdinfo/1", "utf8");
  process.stderr.write(/^flags:\s+(\d+)/m.exec(flags)[1] + "\n");
  spawn(process.argv[1], [process.argv[2]], { stdio: ["ignore", "inherit", "inherit"] })
    .on("close", (code) => { process.exitCode = code; });
' "$HELPER" "$SOFTHSM_MODULE" 2>"$WORK/node.err" | cat >"$WORK/stdout"
RUN_STATUS=${PIPESTATUS[0]}
set -e
check_true "node: its standard output pipe is non-blocking (O_NONBLOCK in $(head -n 1 "$WORK/node.err"))" \
  test $((8#$(head -n 1 "$WORK/node.err") & 8#4000)) -ne 0
tail -n +2 "$WORK/node.err" >"$WORK/stderr" # the helper's, after Node's line
schema_keep_documents "$SOFTHSM_MODULE"
check_document_on_stdout "node: the helper on Node's non-blocking standard output"
check_equal "node: the whole listing arrives" "$cert_hex" \
  "$(grep -oE '"der_hex":"[0-9a-f]*"' <<<"$DOCUMENT" | cut -d'"' -f4)"

e2e_finish
