#!/usr/bin/env bash
# opencryptoki with its soft token, set up from nothing in the sandbox:
# pkcsslotd started here, the token initialised with pkcsconf, a key and its
# certificate put on it with pkcs11-tool.
#   - Listing: the slot description is "Linux" padded with NUL bytes, which
#     are not white space and stay; the token claims a clock but reports its
#     time as "hh:mm:ss" and blanks, which is not a date, so the token
#     information does not decode and the label is null. The certificate is
#     listed all the same.
#   - Signing: the soft token offers none of CKM_SHA256/384/512_RSA_PKCS, so
#     rsa_sha256/384/512 sign through raw CKM_RSA_PKCS over a DigestInfo the
#     helper makes; rsa_pss_* use the token's own PSS mechanisms; it offers
#     no ECDSA at all, so ecdsa_sha256 ends with the first C_SignInit's
#     exact failure. openssl verifies every signature.
#   - The daemon gone: without pkcsslotd, before it ever ran and after it
#     stopped, C_Initialize fails; the exact messages, in bounded time.
#
# Usage: module_opencryptoki.sh HELPER REPO_ROOT
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/e2e.sh"
matrix_init "$@" --requires "opencryptoki:$OCK_MODULE" opencryptoki:pkcsslotd \
  opencryptoki:pkcsconf opensc:pkcs11-tool openssl:openssl
log_versions opencryptoki

ock_prepare

# Never started: the library finds no daemon.
run_helper_within 60 "$OCK_MODULE"
check_document_is "before pkcsslotd ever ran" \
  "{\"slots\":[],\"error\":\"Inizializzazione PKCS#11 fallita: Function::Initialize: PKCS11 error: $RV_FUNCTION_FAILED\"}"

ock_start_slotd "$WORK"
label="Mirandel OCK"
pin=2468
ock_init_token "$label" "$pin"
make_self_signed_cert "$WORK/signer" "Firmatario opencryptoki"
token_import_key "$OCK_MODULE" "$label" "$pin" "$WORK/signer.key.pem" 01 firmatario
token_import_cert "$OCK_MODULE" "$label" "$pin" "$WORK/signer.cert.der" 01 firmatario

# The listing, exactly.
nuls=$(printf '\\u0000%.0s' $(seq 59))
cert_hex=$(hex_of_file "$WORK/signer.cert.der")
run_helper_within 60 "$OCK_MODULE"
check_document_is "listing" \
  "{\"slots\":[{\"description\":\"Linux$nuls\",\"token_label\":null,\"certs\":[{\"der_hex\":\"$cert_hex\"}]}],\"error\":null}"
# pkcs11-tool's view: one slot, "Linux" (it stops at the first NUL), the
# label that was set, a clock among the flags (0x40), and the certificate.
tool_view=$(pkcs11-tool --module "$OCK_MODULE" --list-slots 2>/dev/null)
check_equal "pkcs11-tool: one slot, described as Linux" "Slot 0 (0x3): Linux" \
  "$(grep '^Slot ' <<<"$tool_view")"
check_equal "pkcs11-tool: the token's label" "  token label        : $label" \
  "$(grep '^  token label' <<<"$tool_view")"
check_true "pkcs11-tool: the token claims a clock (flag 0x40)" \
  grep -q 'other flags=0x40' <<<"$tool_view"
check_equal "pkcs11-tool: one certificate on the token" 1 \
  "$(softhsm_count_public_certs "$label" "$OCK_MODULE")"
check_true "pkcs11-tool reads back the same certificate bytes" \
  cmp -s "$WORK/signer.cert.der" <(pkcs11-tool --module "$OCK_MODULE" --token-label "$label" \
    --read-object --type cert --id 01 2>/dev/null)

# The mechanisms the token offers, as pkcs11-tool sees them: raw RSA PKCS#1
# and PSS with hashing, but no hashing PKCS#1 v1.5 beyond SHA-1 and no ECDSA.
check_equal "pkcs11-tool: the token's signing mechanisms" "RSA-PKCS
RSA-PKCS-PSS
SHA256-RSA-PKCS-PSS
SHA384-RSA-PKCS-PSS
SHA512-RSA-PKCS-PSS" "$(token_signing_mechanisms "$OCK_MODULE" --slot "$OCK_SLOT")"

# Signing: through the fallback for PKCS#1 v1.5, the token's own PSS.
printf 'Documento' >"$WORK/data.bin"
for mechanism in rsa_sha256 rsa_sha384 rsa_sha512 rsa_pss_sha256 rsa_pss_sha384 rsa_pss_sha512; do
  write_request "$WORK/request.json" "$pin" "$WORK/signer.cert.der" "$WORK/data.bin" "$mechanism"
  run_helper_within 60 "$OCK_MODULE" "" sign "$WORK/request.json"
  check_mechanism_signature "signing with $mechanism" "$mechanism" "$WORK/data.bin" \
    "$WORK/signer.pub.pem"
done
# Neither CKM_ECDSA_SHA256 nor CKM_ECDSA: the first C_SignInit's failure.
write_request "$WORK/request.json" "$pin" "$WORK/signer.cert.der" "$WORK/data.bin" ecdsa_sha256
run_helper_within 60 "$OCK_MODULE" "" sign "$WORK/request.json"
check_document_is "signing with ecdsa_sha256" \
  "{\"signature\":null,\"error\":\"Firma fallita: Function::SignInit: PKCS11 error: $RV_MECHANISM_INVALID\"}"
# A wrong PIN is told apart from the missing mechanism.
write_request "$WORK/request.json" 9999 "$WORK/signer.cert.der" "$WORK/data.bin" rsa_sha256
run_helper_within 60 "$OCK_MODULE" "" sign "$WORK/request.json"
check_document_is "signing with a wrong PIN" \
  "{\"signature\":null,\"error\":\"Login fallito (PIN errato?): Function::Login: PKCS11 error: $RV_PIN_INCORRECT\"}"

# The daemon gone after it ran.
daemon_stop "$OCK_SLOTD_PID"
run_helper_within 60 "$OCK_MODULE"
check_document_is "after pkcsslotd stopped" \
  "{\"slots\":[],\"error\":\"Inizializzazione PKCS#11 fallita: Function::Initialize: PKCS11 error: $RV_HOST_MEMORY\"}"

e2e_finish
