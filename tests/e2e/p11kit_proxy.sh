#!/usr/bin/env bash
# Lists certificates through p11-kit's proxy module with a SoftHSM2 token
# behind it, and checks that the token's certificates come through unchanged.
#
# p11-kit loads every module registered system-wide (for root it ignores a
# user's configuration), and some of them write to standard error or add slots
# (tpm2-pkcs11 does both once installed). The script therefore runs in a
# private mount namespace where p11-kit's registry holds SoftHSM2 alone, so
# the result does not depend on what else the machine has installed. SoftHSM2
# finds the throwaway token through SOFTHSM2_CONF.
#
# Usage: p11kit_proxy.sh HELPER REPO_ROOT
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/e2e.sh"
proxy=/usr/lib/x86_64-linux-gnu/p11-kit-proxy.so
matrix_init "$@" --requires softhsm2:softhsm2-util opensc:pkcs11-tool openssl:openssl \
  p11-kit:p11-kit "softhsm2:$SOFTHSM_MODULE" "p11-kit-modules:$proxy"

softhsm_setup "$WORK/softhsm"
pin=2468
softhsm_init_token "Mirandel proxy" "$pin"
make_self_signed_cert "$WORK/one" "Mirandel proxy 1" ec
make_self_signed_cert "$WORK/two" "Mirandel proxy 2" rsa
softhsm_import_cert "Mirandel proxy" "$pin" "$WORK/one.cert.der" 01 "proxy 1"
softhsm_import_cert "Mirandel proxy" "$pin" "$WORK/two.cert.der" 02 "proxy 2"

p11kit_register "mirandel-e2e-softhsm:$SOFTHSM_MODULE"
check_equal "p11-kit sees only the throwaway registration" \
  "mirandel-e2e-softhsm: $SOFTHSM_MODULE" \
  "$(p11-kit list-modules 2>/dev/null | grep -E '^[^ ].*: ' || true)"

# The listing straight from SoftHSM2, for comparison.
run_helper "$SOFTHSM_MODULE"
check_document_on_stdout "listing from SoftHSM2"
mapfile -t direct_slots < <(listing_slots "$DOCUMENT")

run_helper "$proxy"
check_document_on_stdout "listing through the proxy"
mapfile -t slots < <(listing_slots "$DOCUMENT")

found=0
softhsm_slots=()
for entry in "${slots[@]}"; do
  IFS=$'\t' read -r description label certs <<<"$entry"
  case $description in
    '"SoftHSM slot ID 0x'*'"') softhsm_slots+=("$entry") ;;
    *) fail "a slot of another module came through the proxy" "${entry:0:200}" ;;
  esac
  if [[ $label == '"Mirandel proxy"' ]]; then
    found=$((found + 1))
    listed=$(tr ' ' '\n' <<<"$certs" | sort)
    wanted=$(printf '%s\n' "$(hex_of_file "$WORK/one.cert.der")" \
      "$(hex_of_file "$WORK/two.cert.der")" | sort)
    check_equal "the token's certificates appear through the proxy" "$wanted" "$listed"
  fi
done
check_equal "the throwaway token appears once through the proxy" 1 "$found"
# The proxy hands slot and token information through unchanged: SoftHSM2's
# entries are the ones it gives directly, in the same order.
check_equal "SoftHSM2's entries through the proxy equal its own listing" \
  "$(printf '%s\n' "${direct_slots[@]}")" "$(printf '%s\n' "${softhsm_slots[@]}")"

e2e_finish
