#!/usr/bin/env bash
# tpm2-pkcs11 over a software TPM (swtpm on 127.0.0.1, tpm2-abrmd on a private
# D-Bus bus), set up from nothing: a token with one key generated in the TPM
# and one imported, each with its certificate.
#   - Listing: the token, its two certificates and the module's spare slot
#     with an uninitialised token, as pkcs11-tool and p11tool see them.
#   - Signing: both RSA keys with the three PKCS#1 v1.5 names, the generated
#     one with the three PSS names too, and an EC P-256 key generated in the
#     TPM with the three ecdsa names (the module offers CKM_ECDSA_SHA*
#     itself), all verified by openssl.
#   - A key generated with CKA_ALWAYS_AUTHENTICATE: the module refuses the
#     first C_Sign with CKR_USER_NOT_LOGGED_IN but keeps the operation
#     active, so the second C_SignInit answers CKR_OPERATION_ACTIVE and the
#     helper signs after the context login alone (the exact calls, from
#     p11-kit's call log, and the signature, verified by openssl).
#   - A wrong PIN, then the right one: the TPM's dictionary-attack counter
#     counts the wrong one and is not left incremented by the right one.
#   - Two tokens through p11-kit's proxy, the TPM token first and a SoftHSM2
#     token with another PIN holding the certificate: the signature comes
#     from the second token, and the TPM's counter does not move (the PIN is
#     never offered to the token without the certificate).
#   - The daemon gone: with swtpm stopped, C_Initialize fails, and the exact
#     start-up message comes back in bounded time.
#
# Usage: module_tpm2.sh HELPER REPO_ROOT
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/e2e.sh"
proxy=/usr/lib/x86_64-linux-gnu/p11-kit-proxy.so
matrix_init "$@" --requires "libtpm2-pkcs11-1:$TPM2_MODULE" libtpm2-pkcs11-tools:tpm2_ptool \
  swtpm:swtpm tpm2-tools:tpm2_getcap tpm2-tools:tpm2_dictionarylockout tpm2-abrmd:tpm2-abrmd \
  "libtss2-tcti-tabrmd0:/usr/lib/x86_64-linux-gnu/libtss2-tcti-tabrmd.so.0" \
  "libtss2-tcti-swtpm0:/usr/lib/x86_64-linux-gnu/libtss2-tcti-swtpm.so.0" dbus-daemon:dbus-daemon \
  opensc:pkcs11-tool gnutls-bin:p11tool openssl:openssl softhsm2:softhsm2-util \
  "p11-kit-modules:$proxy"
log_versions libtpm2-pkcs11-1 swtpm tpm2-tools tpm2-abrmd softhsm2 p11-kit-modules

label="Mirandel TPM"
pin=4711
tpm2_start "$WORK/tpm"
tpm2_make_token "$label" "$pin"
tpm2_generate_key "$label" "$pin" 01 "$WORK/generated" "Chiave generata nel TPM"
make_self_signed_cert "$WORK/imported" "Chiave importata"
tpm2_import_key "$label" "$pin" 02 "$WORK/imported.key.pem" "$WORK/imported.cert.pem" \
  "Chiave importata"

# Listing: the token with both certificates, then the spare slot whose token
# is uninitialised (blank description and label, hence null, and no objects).
run_helper_within 60 "$TPM2_MODULE"
check_document_on_stdout "listing"
listing=$DOCUMENT
mapfile -t slots < <(listing_slots "$listing")
check_equal "listing: two slots" 2 "${#slots[@]}"
check_equal "listing: slots and labels as pkcs11-tool and p11tool see them" \
  "$(independent_slots "$TPM2_MODULE")" "$(printf '%s\n' "${slots[@]}" | cut -f1,2)"
check_equal "listing: the token's slot" $'"Mirandel TPM"\t"Mirandel TPM"' \
  "$(cut -f1,2 <<<"${slots[0]}")"
check_equal "listing: the uninitialised slot" $'null\tnull\t' "${slots[1]:-}"
check_equal "listing: the token's certificates are the two put on it" \
  "$(printf '%s\n' "$(hex_of_file "$WORK/generated.cert.der")" \
    "$(hex_of_file "$WORK/imported.cert.der")" | sort)" \
  "$(cut -f3 <<<"${slots[0]}" | tr ' ' '\n' | sort)"

check_equal "pkcs11-tool: two certificates on the token" 2 \
  "$(softhsm_count_public_certs "$label" "$TPM2_MODULE")"
# pkcs11-tool reads back the bytes listed; tpm2_ptool stored the ids "01" and
# "02" as text, so the CKA_IDs are 3031 and 3032.
for pair in generated:3031 imported:3032; do
  check_true "pkcs11-tool reads back the ${pair%%:*} key's certificate" \
    cmp -s "$WORK/${pair%%:*}.cert.der" <(pkcs11-tool --module "$TPM2_MODULE" \
      --token-label "$label" --read-object --type cert --id "${pair##*:}" 2>/dev/null)
done

# Signing with every key and every mechanism it allows. The data holds a NUL
# and bytes that are not UTF-8. The EC keys are made after the listing checks.
tpm2_generate_key "$label" "$pin" 03 "$WORK/ec" "Chiave EC nel TPM" ecc256
tpm2_generate_key "$label" "$pin" 04 "$WORK/always" "PIN a ogni firma nel TPM" ecc256 \
  --attr-always-authenticate
check_true "pkcs11-tool sees the last key as always authenticate" \
  grep -q 'Access: *always authenticate' <(pkcs11-tool --module "$TPM2_MODULE" \
    --token-label "$label" --login --pin "$pin" --list-objects --type privkey --id 3034 2>/dev/null)
# The module offers every mechanism of the helper's names, hashing ones
# included, so no name needs the helper's own hashing here.
check_equal "pkcs11-tool: the token's signing mechanisms" "ECDSA
ECDSA-SHA256
ECDSA-SHA384
ECDSA-SHA512
RSA-PKCS
RSA-PKCS-PSS
SHA256-RSA-PKCS
SHA256-RSA-PKCS-PSS
SHA384-RSA-PKCS
SHA384-RSA-PKCS-PSS
SHA512-RSA-PKCS
SHA512-RSA-PKCS-PSS" \
  "$(token_signing_mechanisms "$TPM2_MODULE" --token-label "$label")"
printf 'Fattura n. 7\x00\xff\xfe' >"$WORK/data.bin"
counter_before=$(tpm2_lockout_counter)
pkcs1=(rsa_sha256 rsa_sha384 rsa_sha512)
pss=(rsa_pss_sha256 rsa_pss_sha384 rsa_pss_sha512)
ecdsa=(ecdsa_sha256 ecdsa_sha384 ecdsa_sha512)
for key in generated imported ec always; do
  openssl x509 -in "$WORK/$key.cert.pem" -pubkey -noout >"$WORK/$key.verify.pem"
  case $key in
    generated) mechanisms=("${pkcs1[@]}" "${pss[@]}") ;;
    imported) mechanisms=("${pkcs1[@]}") ;;
    ec) mechanisms=("${ecdsa[@]}") ;;
    always) continue ;;
  esac
  for mechanism in "${mechanisms[@]}"; do
    write_request "$WORK/request.json" "$pin" "$WORK/$key.cert.der" "$WORK/data.bin" "$mechanism"
    run_helper_within 60 "$TPM2_MODULE" "" sign "$WORK/request.json"
    check_mechanism_signature "$key key, $mechanism" "$mechanism" "$WORK/data.bin" \
      "$WORK/$key.verify.pem"
  done
done
# The key with CKA_ALWAYS_AUTHENTICATE, through p11-kit's proxy with the call
# log. tpm2-pkcs11 answers the first C_Sign with CKR_USER_NOT_LOGGED_IN but,
# unlike SoftHSM2 and against the standard (a failed C_Sign ends the
# operation), keeps the operation going: the second C_SignInit answers
# CKR_OPERATION_ACTIVE, and the helper logs in with CKU_CONTEXT_SPECIFIC for
# the operation the module kept, then signs.
p11kit_register "tpm2:$TPM2_MODULE:log-calls=yes"
write_request "$WORK/request.json" "$pin" "$WORK/always.cert.der" "$WORK/data.bin" ecdsa_sha256
# shellcheck disable=SC2034 # read by check_document_on_stdout
MODULE_STDERR=1
run_helper_within 60 "$proxy" "" sign "$WORK/request.json"
check_mechanism_signature "always authenticate key" ecdsa_sha256 "$WORK/data.bin" \
  "$WORK/always.verify.pem"
unset MODULE_STDERR
data_length=$(wc -c <"$WORK/data.bin")
check_equal "always authenticate key: the calls" "C_Login CKU_USER CKR_OK
C_SignInit CKM_0x00001044 CKR_OK
C_Sign data=$data_length CKR_USER_NOT_LOGGED_IN
C_SignInit CKM_0x00001044 CKR_OPERATION_ACTIVE
C_Login CKU_CONTEXT_SPECIFIC CKR_OK
C_Sign data=$data_length CKR_OK
C_Sign data=$data_length CKR_OK" "$(p11kit_signing_calls "$WORK/stderr")"
check_equal "the signatures with the right PIN leave the lockout counter alone" \
  "$counter_before" "$(tpm2_lockout_counter)"

# A wrong PIN, then the right one.
write_request "$WORK/wrong.json" 0000 "$WORK/imported.cert.der" "$WORK/data.bin" rsa_sha256
run_helper_within 60 "$TPM2_MODULE" "" sign "$WORK/wrong.json"
# The module reports the failed unsealing on standard error itself.
check_document_is_despite_stderr "wrong PIN" \
  "{\"signature\":null,\"error\":\"Login fallito (PIN errato?): Function::Login: PKCS11 error: $RV_PIN_INCORRECT\"}"
counter_after_wrong=$(tpm2_lockout_counter)
check_equal "the wrong PIN counts once against the TPM" $((counter_before + 1)) \
  "$((counter_after_wrong))"
write_request "$WORK/request.json" "$pin" "$WORK/imported.cert.der" "$WORK/data.bin" rsa_sha256
run_helper_within 60 "$TPM2_MODULE" "" sign "$WORK/request.json"
check_signature "right PIN after a wrong one" sha256 "$WORK/data.bin" "$WORK/imported.verify.pem"
check_equal "the run with the right PIN leaves the counter where the wrong one put it" \
  "$counter_after_wrong" "$(tpm2_lockout_counter)"
tpm2_dictionarylockout --clear-lockout >/dev/null

# Two tokens with different PINs through p11-kit's proxy: the TPM's token
# first, the certificate on a SoftHSM2 token after it.
softhsm_setup "$WORK/softhsm"
softhsm_pin=97531
softhsm_init_token "Mirandel dopo il TPM" "$softhsm_pin"
make_self_signed_cert "$WORK/second" "Firmatario sul secondo token"
softhsm_import_key "Mirandel dopo il TPM" "$softhsm_pin" "$WORK/second.key.pem" 01 firmatario
softhsm_import_cert "Mirandel dopo il TPM" "$softhsm_pin" "$WORK/second.cert.der" 01 firmatario
p11kit_register "a-tpm2:$TPM2_MODULE:priority=20" "b-softhsm:$SOFTHSM_MODULE:priority=10"
run_helper_within 60 "$proxy"
check_document_on_stdout "listing through the proxy"
check_equal "through the proxy: the TPM's slots, then SoftHSM2's token" \
  $'"Mirandel TPM"\n"Mirandel dopo il TPM"' \
  "$(listing_slots "$DOCUMENT" | cut -f2 | grep -v '^null$')"
check_equal "through the proxy: the TPM token comes first" '"Mirandel TPM"' \
  "$(listing_slots "$DOCUMENT" | head -n 1 | cut -f2)"
counter_before=$(tpm2_lockout_counter)
write_request "$WORK/request.json" "$softhsm_pin" "$WORK/second.cert.der" "$WORK/data.bin" \
  rsa_sha512
run_helper_within 60 "$proxy" "" sign "$WORK/request.json"
check_signature "second token's certificate through the proxy" sha512 "$WORK/data.bin" \
  "$WORK/second.pub.pem"
check_equal "the TPM token, which lacks the certificate, was never offered the PIN" \
  "$counter_before" "$(tpm2_lockout_counter)"
tpm2_dictionarylockout --clear-lockout >/dev/null

# The daemon gone: the run ends in time (run_helper_within gives status 124
# otherwise) with the initialisation failure. The module reports the TCTI
# failures on standard error itself.
check_start_failure() {
  check_document_is_despite_stderr "$1" \
    "{\"slots\":[],\"error\":\"Inizializzazione PKCS#11 fallita: Function::Initialize: PKCS11 error: $RV_GENERAL_ERROR\"}"
}
daemon_stop "$TPM2_SWTPM_PID"
if port_in_use "$TPM2_SWTPM_PORT"; then fail "swtpm has stopped"; else pass; fi
run_helper_within 60 "$TPM2_MODULE"
check_start_failure "swtpm stopped, through tpm2-abrmd"
TPM2_PKCS11_TCTI="swtpm:host=127.0.0.1,port=$TPM2_SWTPM_PORT" run_helper_within 60 "$TPM2_MODULE"
check_start_failure "swtpm stopped, reached directly"

e2e_finish
