#!/usr/bin/env bash
# p11-kit's remoting: `p11-kit server` exports a SoftHSM2 token on a Unix
# socket, and the helper loads p11-kit-client.so, which reaches it through
# P11_KIT_SERVER_ADDRESS. The documents must be the ones direct access gives:
# the same listing, and the same signature bytes (RSA PKCS#1 v1.5 is
# deterministic). Without a server the client shows no slot, without error.
#
# Usage: module_p11kit_client.sh HELPER REPO_ROOT
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/e2e.sh"
client=/usr/lib/x86_64-linux-gnu/pkcs11/p11-kit-client.so
matrix_init "$@" --requires "p11-kit-modules:$client" p11-kit:p11-kit \
  "p11-kit:/usr/libexec/p11-kit/p11-kit-server" softhsm2:softhsm2-util \
  "softhsm2:$SOFTHSM_MODULE" opensc:pkcs11-tool openssl:openssl
log_versions p11-kit p11-kit-modules softhsm2
# Only the throwaway SoftHSM2 is registered, in case the server consults
# p11-kit's registry.
p11kit_register "mirandel-e2e-softhsm:$SOFTHSM_MODULE"

softhsm_setup "$WORK/softhsm"
pin=1357
label="Mirandel remoto"
softhsm_init_token "$label" "$pin"
make_self_signed_cert "$WORK/signer" "Firmatario remoto"
make_self_signed_cert "$WORK/other" "Altro certificato" ec
softhsm_import_key "$label" "$pin" "$WORK/signer.key.pem" 01 firmatario
softhsm_import_cert "$label" "$pin" "$WORK/signer.cert.der" 01 firmatario
softhsm_import_cert "$label" "$pin" "$WORK/other.cert.der" 02 altro

export P11_KIT_SERVER_ADDRESS="unix:path=$WORK/p11-kit.sock"
run_helper_within 60 "$client"
check_document_is "client without a server" '{"slots":[],"error":null}'

daemon_start "p11-kit server" "$WORK/server.log" p11-kit server --foreground \
  --name "$WORK/p11-kit.sock" --provider "$SOFTHSM_MODULE" "pkcs11:token=${label// /%20}"
check_true "p11-kit server listens on its socket" wait_until 20 test -S "$WORK/p11-kit.sock"

# Listing: through the client as directly: the same slot, the same certificates.
run_helper_within 60 "$SOFTHSM_MODULE"
check_document_on_stdout "direct listing"
direct=$DOCUMENT
run_helper_within 60 "$client"
check_document_on_stdout "listing through the client"
remote=$DOCUMENT
check_equal "the client's listing shows the exported token as direct access does" \
  "$(listing_slots_sorted "$direct" | grep -F "\"$label\"")" "$(listing_slots_sorted "$remote")"
check_equal "pkcs11-tool sees the token's two certificates through the client" 2 \
  "$(softhsm_count_public_certs "$label" "$client")"

# Signing: the same signature bytes, each verified.
printf 'Contratto remoto' >"$WORK/data.bin"
for pair in rsa_sha256:sha256 rsa_sha384:sha384 rsa_sha512:sha512; do
  write_request "$WORK/request.json" "$pin" "$WORK/signer.cert.der" "$WORK/data.bin" "${pair%%:*}"
  run_helper_within 60 "$SOFTHSM_MODULE" "" sign "$WORK/request.json"
  check_signature "direct, ${pair%%:*}" "${pair##*:}" "$WORK/data.bin" "$WORK/signer.pub.pem"
  direct_signature=$SIGNATURE
  run_helper_within 60 "$client" "" sign "$WORK/request.json"
  check_signature "through the client, ${pair%%:*}" "${pair##*:}" "$WORK/data.bin" \
    "$WORK/signer.pub.pem"
  check_equal "through the client, ${pair%%:*}: the same signature as direct" \
    "$direct_signature" "$SIGNATURE"
done
write_request "$WORK/request.json" 0000 "$WORK/signer.cert.der" "$WORK/data.bin" rsa_sha256
run_helper_within 60 "$client" "" sign "$WORK/request.json"
check_document_is "a wrong PIN through the client" \
  "{\"signature\":null,\"error\":\"Login fallito (PIN errato?): Function::Login: PKCS11 error: $RV_PIN_INCORRECT\"}"

e2e_finish
