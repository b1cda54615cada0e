#!/usr/bin/env bash
# Two SoftHSM2 tokens with different PINs, the signer's certificate and key on
# the second. The signature must come from the second token, and the PIN must
# never be offered to the first: SoftHSM2 keeps no retry counter to look at,
# so the run goes through p11-kit's proxy with SoftHSM2 registered with
# log-calls, and the call log shows on which slot every C_Login happened.
# The second token also holds keys that want the PIN at every signature, an
# RSA one and an EC one: the call log shows the second C_SignInit and the
# C_Login with user type 2 (CKU_CONTEXT_SPECIFIC), the token's own PSS
# mechanism, and the EC key signing a 32-byte digest through raw CKM_ECDSA
# after CKM_ECDSA_SHA256 was refused.
#
# Usage: signing_two_tokens.sh HELPER REPO_ROOT
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/e2e.sh"
proxy=/usr/lib/x86_64-linux-gnu/p11-kit-proxy.so
matrix_init "$@" --requires softhsm2:softhsm2-util "softhsm2:$SOFTHSM_MODULE" \
  opensc:pkcs11-tool openssl:openssl p11-kit:p11-kit "p11-kit-modules:$proxy"

softhsm_setup "$WORK/softhsm"
declare -A pin_of=([Alfa]=1111 [Beta]=2222)
softhsm_init_token Alfa "${pin_of[Alfa]}"
softhsm_init_token Beta "${pin_of[Beta]}"
# SoftHSM2 orders its slots by their generated ids, not by creation: which
# token comes first is read from the listing.
run_helper "$SOFTHSM_MODULE"
check_document_on_stdout "listing"
mapfile -t order < <(listing_slots "$DOCUMENT" | cut -f2 | grep -v '^null$' | tr -d '"')
check_equal "two initialised tokens listed" 2 "${#order[@]}"
first=${order[0]:-Alfa}
second=${order[1]:-Beta}
# Both tokens hold a signing key; only the second holds the certificate.
make_self_signed_cert "$WORK/first" "Chiave del primo token"
softhsm_import_key "$first" "${pin_of[$first]}" "$WORK/first.key.pem" 01 primo
make_self_signed_cert "$WORK/second" "Chiave del secondo token"
softhsm_import_key "$second" "${pin_of[$second]}" "$WORK/second.key.pem" 01 secondo
softhsm_import_cert "$second" "${pin_of[$second]}" "$WORK/second.cert.der" 01 secondo
make_self_signed_cert "$WORK/always-rsa" "PIN a ogni firma, RSA"
make_self_signed_cert "$WORK/always-ec" "PIN a ogni firma, EC" ec
for pair in always-rsa:02 always-ec:03; do
  softhsm_import_key "$second" "${pin_of[$second]}" "$WORK/${pair%:*}.key.pem" "${pair#*:}" \
    "${pair%:*}" --always-auth
  softhsm_import_cert "$second" "${pin_of[$second]}" "$WORK/${pair%:*}.cert.der" "${pair#*:}" \
    "${pair%:*}"
done

# slot_of LABEL: SoftHSM2's slot id of a token, in decimal, from pkcs11-tool.
slot_of() {
  local hex
  hex=$(pkcs11-tool --module "$SOFTHSM_MODULE" --list-slots 2>/dev/null | awk -v label="$1" '
    /^Slot [0-9]+ \(0x[0-9a-f]+\)/ { id = $3; gsub(/[():]|0x/, "", id) }
    /^  token label +: / { l = $0; sub(/^  token label +: /, "", l); if (l == label) print id }')
  [[ -n $hex ]] && echo $((16#$hex))
}
second_slot=$(slot_of "$second")
check_true "pkcs11-tool finds the second token" test -n "$second_slot"

printf 'Ordine di acquisto' >"$WORK/data.bin"
write_request "$WORK/request.json" "${pin_of[$second]}" "$WORK/second.cert.der" "$WORK/data.bin" rsa_sha256

# Directly: the signature comes from the second token's key.
run_helper "$SOFTHSM_MODULE" "" sign "$WORK/request.json"
check_signature "direct" sha256 "$WORK/data.bin" "$WORK/second.pub.pem"

# Through the proxy with the call log: the logins, by slot.
p11kit_register "softhsm:$SOFTHSM_MODULE:log-calls=yes"
run_helper "$proxy" "" sign "$WORK/request.json"
check_equal "through the proxy: exit status" 0 "$RUN_STATUS"
DOCUMENT=$(cat "$WORK/stdout")
hex_to_file "$(document_member "$DOCUMENT" signature || true)" "$WORK/signature.bin" 2>/dev/null ||
  : >"$WORK/signature.bin"
check_true "through the proxy: a signature openssl verifies with the second key" \
  verifies sha256 "$WORK/second.pub.pem" "$WORK/signature.bin" "$WORK/data.bin"
# C_OpenSession logs "IN: slotID = SLn" and "OUT: phSession = ... = Sk";
# C_Login logs "IN: hSession = Sk".
logins=$(awk '
  /^C_OpenSession$/ { opening = 1; next }
  opening && /IN: slotID = SL/ { slot = $NF; sub(/^SL/, "", slot) }
  opening && /OUT: phSession = / { session_slot[$NF] = slot; opening = 0 }
  /^C_Login$/ { login = 1; next }
  login && /IN: hSession = / { print session_slot[$NF]; login = 0 }' "$WORK/stderr")
check_equal "the PIN went to the second token only, once" "$second_slot" "$logins"
# Every call is logged as its name on a line of its own.
check_equal "through the proxy: the last call is C_Finalize, made once" "C_Finalize 1" \
  "$(grep -E '^C_[A-Za-z]+$' "$WORK/stderr" | tail -n 1) $(grep -c '^C_Finalize$' "$WORK/stderr")"

# Keys that want the PIN at every signature, through the proxy's call log:
# after the first C_Sign is refused, C_SignInit again and C_Login with
# CKU_CONTEXT_SPECIFIC, then the two C_Sign calls. (p11-kit's log names
# CKM_ECDSA_SHA256 by its value, CKM_0x00001044.)
# shellcheck disable=SC2034 # read by check_document_on_stdout
MODULE_STDERR=1
data_length=$(wc -c <"$WORK/data.bin")
write_request "$WORK/request.json" "${pin_of[$second]}" "$WORK/always-rsa.cert.der" \
  "$WORK/data.bin" rsa_pss_sha256
run_helper "$proxy" "" sign "$WORK/request.json"
check_signature "PIN at every signature, RSA-PSS" sha256 "$WORK/data.bin" \
  "$WORK/always-rsa.pub.pem" pss
check_equal "PIN at every signature, RSA-PSS: the calls" "C_Login CKU_USER CKR_OK
C_SignInit CKM_SHA256_RSA_PKCS_PSS CKR_OK
C_Sign data=$data_length CKR_USER_NOT_LOGGED_IN
C_SignInit CKM_SHA256_RSA_PKCS_PSS CKR_OK
C_Login CKU_CONTEXT_SPECIFIC CKR_OK
C_Sign data=$data_length CKR_OK
C_Sign data=$data_length CKR_OK" "$(p11kit_signing_calls "$WORK/stderr")"

write_request "$WORK/request.json" "${pin_of[$second]}" "$WORK/always-ec.cert.der" \
  "$WORK/data.bin" ecdsa_sha256
run_helper "$proxy" "" sign "$WORK/request.json"
check_signature "PIN at every signature, ECDSA" sha256 "$WORK/data.bin" \
  "$WORK/always-ec.pub.pem" ecdsa
check_equal "PIN at every signature, ECDSA: the calls, raw CKM_ECDSA over the digest" \
  "C_Login CKU_USER CKR_OK
C_SignInit CKM_0x00001044 CKR_MECHANISM_INVALID
C_SignInit CKM_ECDSA CKR_OK
C_Sign data=32 CKR_USER_NOT_LOGGED_IN
C_SignInit CKM_ECDSA CKR_OK
C_Login CKU_CONTEXT_SPECIFIC CKR_OK
C_Sign data=32 CKR_OK
C_Sign data=32 CKR_OK" "$(p11kit_signing_calls "$WORK/stderr")"

# A wrong PIN stops at the first login.
write_request "$WORK/request.json" 0000 "$WORK/always-rsa.cert.der" "$WORK/data.bin" \
  rsa_pss_sha256
run_helper "$proxy" "" sign "$WORK/request.json"
check_equal "PIN at every signature, wrong PIN: the message" \
  "{\"signature\":null,\"error\":\"Login fallito (PIN errato?): Function::Login: PKCS11 error: $RV_PIN_INCORRECT\"}" \
  "$(cat "$WORK/stdout")"
check_equal "PIN at every signature, wrong PIN: one login, no signing call" \
  "C_Login CKU_USER CKR_PIN_INCORRECT" "$(p11kit_signing_calls "$WORK/stderr")"
unset MODULE_STDERR

e2e_finish
