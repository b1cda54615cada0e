# shellcheck shell=bash
# shellcheck disable=SC2034  # HELPER, REPO, WORK and DOCUMENT are for the scripts that source this file
# Common frame of the end-to-end test scripts in tests/e2e/ and of the
# packaging tests in tests/packaging/. Sourcing this file brings in the other
# test helpers of scripts/lib/ as well (hex, documents, schemas, SoftHSM2,
# the module matrix, opencryptoki, tpm2), so a script needs one source line.
#
# A script sources this file and calls
#   e2e_init "$@" [--needs TOOL...]
# which sets HELPER (the built executable: first argument, else $MIRANDEL_HELPER,
# else build/mirandel-pkcs11-helper), REPO (the repository root: second
# argument, else $MIRANDEL_SOURCE_DIR, else the parent of scripts/) and WORK
# (a temporary directory removed on exit), and skips the test (status 77)
# when a tool it needs is missing. Checks are recorded with check_equal and
# friends; e2e_finish prints the tally and ends the script with status 1
# when any check failed.

source "$(dirname "${BASH_SOURCE[0]}")/hex.sh"
source "$(dirname "${BASH_SOURCE[0]}")/documents.sh"
source "$(dirname "${BASH_SOURCE[0]}")/schema.sh"
source "$(dirname "${BASH_SOURCE[0]}")/softhsm.sh"
source "$(dirname "${BASH_SOURCE[0]}")/matrix.sh"
source "$(dirname "${BASH_SOURCE[0]}")/opencryptoki.sh"
source "$(dirname "${BASH_SOURCE[0]}")/tpm2.sh"

# The modules' daemons and set-up tools (pkcsslotd, pcscd, tpm2-abrmd, ...)
# live in the sbin folders, which an unprivileged or non-login shell, as a CI
# runner may start, leaves off PATH.
PATH=$PATH:/usr/local/sbin:/usr/sbin:/sbin

E2E_SKIP=77
E2E_PASSED=0
E2E_FAILED=0

e2e_init() {
  local here
  local -a positional=()
  here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
  while (($# > 0)) && [[ $1 != --needs ]]; do
    positional+=("$1")
    shift
  done
  HELPER=${positional[0]:-${MIRANDEL_HELPER:-$here/build/mirandel-pkcs11-helper}}
  REPO=${positional[1]:-${MIRANDEL_SOURCE_DIR:-$here}}
  if [[ ${1:-} == --needs ]]; then
    shift
    local tool
    for tool in "$@"; do
      if [[ $tool == /* ]]; then
        [[ -e $tool ]] && continue
      elif command -v "$tool" >/dev/null; then
        continue
      fi
      echo "SKIP: $tool is not installed"
      exit $E2E_SKIP
    done
  fi
  if [[ ! -x $HELPER ]]; then
    echo "FAIL: the helper $HELPER has not been built" >&2
    exit 1
  fi
  WORK=$(mktemp -d)
  trap 'rm -rf "$WORK"' EXIT
  # Signals (INT, TERM, HUP) end the script through exit, so that the EXIT
  # trap still cleans up.
  trap 'exit 130' INT
  trap 'exit 143' TERM
  trap 'exit 129' HUP
}

pass() {
  E2E_PASSED=$((E2E_PASSED + 1))
}

# Records one failed check and says why: fail WHAT [DETAILS...]
fail() {
  E2E_FAILED=$((E2E_FAILED + 1))
  printf 'FAIL: %s\n' "$1" >&2
  shift
  local line
  for line in "$@"; do
    printf '  %s\n' "$line" >&2
  done
}

# Shortens each line of long text (certificates in hex) for messages.
_abbreviate_lines() {
  awk '{ if (length($0) > 72) print substr($0, 1, 32) "..." substr($0, length($0) - 31) " (" length($0) " chars)"; else print }'
}

# check_equal WHAT EXPECTED ACTUAL
check_equal() {
  if [[ $2 == "$3" ]]; then
    pass
  elif ((${#2} + ${#3} < 400)); then
    fail "$1" "expected: $2" "actual:   $3"
  else
    local -a difference
    mapfile -t difference < <(diff <(_abbreviate_lines <<<"$2") <(_abbreviate_lines <<<"$3") |
      head -n 40)
    fail "$1" "difference (< expected, > actual):" "${difference[@]}"
  fi
}

# check_true WHAT COMMAND... : passes when the command succeeds.
check_true() {
  local what=$1
  shift
  if "$@"; then
    pass
  else
    fail "$what" "command failed: $*"
  fi
}

# Prints the tally and exits: status 1 when any check failed or none ran.
e2e_finish() {
  schema_check_kept_documents
  echo "$E2E_PASSED checks passed, $E2E_FAILED failed"
  if ((E2E_FAILED > 0 || E2E_PASSED == 0)); then
    exit 1
  fi
  exit 0
}

# Runs the helper with the given arguments, keeping standard output in
# $WORK/stdout, standard error in $WORK/stderr and the status in RUN_STATUS.
run_helper() {
  set +e
  "$HELPER" "$@" >"$WORK/stdout" 2>"$WORK/stderr"
  RUN_STATUS=$?
  set -e
  schema_keep_documents "$@"
}

# Checks the shape of a run that printed a document on standard output:
# status 0, nothing on standard error, exactly one line ending in a line
# feed. Prints the document (without its line feed) into DOCUMENT. Set
# MODULE_STDERR=1 for runs whose module writes to standard error itself (a
# call log): standard error is then not looked at.
check_document_on_stdout() {
  local what=$1
  check_equal "$what: exit status" 0 "$RUN_STATUS"
  [[ -n ${MODULE_STDERR:-} ]] || check_equal "$what: standard error" "" "$(cat "$WORK/stderr")"
  check_equal "$what: one line on standard output, ending in a line feed" "1 0a" \
    "$(wc -l <"$WORK/stdout") $(tail -c 1 "$WORK/stdout" | od -An -tx1 | tr -d ' ')"
  DOCUMENT=$(cat "$WORK/stdout")
}

# Writes a signing request in its object form:
#   write_request FILE PIN_JSON CERT_DER DATA_FILE MECHANISM
write_request() {
  printf '{"pin":"%s","cert_der_hex":"%s","data_hex":"%s","mechanism":"%s"}' \
    "$2" "$(hex_of_file "$3")" "$(hex_of_file "$4")" "$5" >"$1"
}

# verifies DIGEST PUBLIC_KEY SIGNATURE_FILE DATA_FILE [pkcs1|pss|ecdsa]:
# openssl accepts the signature over DATA_FILE: RSA PKCS#1 v1.5 (the
# default), RSA-PSS with MGF1 over the same digest and a salt as long as the
# digest, or ECDSA in its DER form (openssl refuses any other encoding).
# shellcheck disable=SC2317 # called through check_true
verifies() {
  local -a options=()
  [[ ${5:-pkcs1} == pss ]] && options=(-sigopt rsa_padding_mode:pss -sigopt rsa_pss_saltlen:digest)
  openssl dgst "-$1" -verify "$2" "${options[@]}" -signature "$3" "$4" >/dev/null
}

# The digest and the signature form of a mechanism name, as verifies takes
# them: mechanism_digest_form rsa_pss_sha384 prints "sha384 pss".
mechanism_digest_form() {
  case $1 in
    rsa_pss_sha*) echo "${1#rsa_pss_} pss" ;;
    rsa_sha*) echo "${1#rsa_} pkcs1" ;;
    ecdsa_sha*) echo "${1#ecdsa_} ecdsa" ;;
    *) return 1 ;;
  esac
}

# check_signature WHAT DIGEST DATA_FILE PUBLIC_KEY [pkcs1|pss|ecdsa]: the run
# printed a successful document whose signature openssl verifies over
# DATA_FILE; an RSA signature must be 256 bytes (the tests' keys are
# RSA-2048), an ECDSA one a DER SEQUENCE. Leaves the signature's hex in
# SIGNATURE.
check_signature() {
  local what=$1 digest=$2 data=$3 key=$4 form=${5:-pkcs1} error shape='^[0-9a-f]{512}$'
  [[ $form == ecdsa ]] && shape='^30([0-9a-f]{2})+$'
  SIGNATURE=
  check_document_on_stdout "$what"
  error=$(document_member "$DOCUMENT" error || echo "(no error member)")
  check_equal "$what: error" null "$error"
  SIGNATURE=$(document_member "$DOCUMENT" signature || echo "(no signature member)")
  if [[ ! $SIGNATURE =~ $shape ]]; then
    fail "$what: signature of the expected form ($form)" "document: $DOCUMENT"
    return
  fi
  pass
  hex_to_file "$SIGNATURE" "$WORK/signature.bin"
  check_true "$what: openssl verifies the signature" \
    verifies "$digest" "$key" "$WORK/signature.bin" "$data" "$form"
}

# check_mechanism_signature WHAT MECHANISM DATA_FILE PUBLIC_KEY: check_signature
# with the digest and form the mechanism name stands for.
check_mechanism_signature() {
  local digest_form
  digest_form=$(mechanism_digest_form "$2") || {
    fail "$1: $2 is a mechanism name"
    return
  }
  # shellcheck disable=SC2086 # two words
  check_signature "$1" ${digest_form% *} "$3" "$4" ${digest_form#* }
}
