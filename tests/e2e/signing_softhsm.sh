#!/usr/bin/env bash
# Signing against a throwaway SoftHSM2 token: every mechanism verified with
# openssl against the certificate's public key, the request from a file and
# from standard input, a wrong PIN, certificates that pick no key or the
# wrong one, and a key that is not the certificate's, whose signature is
# refused. Then, on a token of their own, a key that wants the PIN at every
# signature and EC keys on the three NIST curves, which SoftHSM2 can sign with
# only through raw CKM_ECDSA over a digest the helper makes.
#   signing_softhsm.sh [HELPER] [REPO]
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/e2e.sh"
e2e_init "$@" --needs softhsm2-util pkcs11-tool openssl od "$SOFTHSM_MODULE"

# SOFTHSM2_CONF is exported by softhsm_setup to this script and its children only.
softhsm_setup "$WORK/softhsm"

# The PIN holds a non-ASCII letter: the request spells it with a JSON escape,
# and the token must receive its UTF-8 bytes unchanged.
PIN=$'p\xc3\xafn-1234'
PIN_JSON='p\u00efn-1234'
softhsm_init_token firma "$PIN"

# The signer: a key with its certificate under CKA_ID 01.
make_self_signed_cert "$WORK/signer" "Firmatario"
softhsm_import_key firma "$PIN" "$WORK/signer.key.pem" 01 firmatario
softhsm_import_cert firma "$PIN" "$WORK/signer.cert.der" 01 firmatario
# A certificate under CKA_ID 02 with no private key beside it.
make_self_signed_cert "$WORK/orphan" "Orfano" ec
softhsm_import_cert firma "$PIN" "$WORK/orphan.cert.der" 02 orfano
# A certificate that is not on the token at all.
make_self_signed_cert "$WORK/stranger" "Estraneo" ec

printf 'Documento da firmare: \xc3\xa8 cos\xc3\xac.\n' >"$WORK/data.bin"
: >"$WORK/empty.bin"

# The RSA mechanisms, PKCS#1 v1.5 and PSS, all with the token's own hashing
# mechanisms, each verified with its own digest.
RSA_MECHANISMS=(rsa_sha256 rsa_sha384 rsa_sha512 rsa_pss_sha256 rsa_pss_sha384 rsa_pss_sha512)
for mechanism in "${RSA_MECHANISMS[@]}"; do
  write_request "$WORK/request.json" "$PIN_JSON" "$WORK/signer.cert.der" "$WORK/data.bin" \
    "$mechanism"
  run_helper "$SOFTHSM_MODULE" "" sign "$WORK/request.json"
  check_mechanism_signature "$mechanism" "$mechanism" "$WORK/data.bin" "$WORK/signer.pub.pem"
done

# Empty data is signed as a zero-length input.
write_request "$WORK/request.json" "$PIN_JSON" "$WORK/signer.cert.der" "$WORK/empty.bin" rsa_sha256
run_helper "$SOFTHSM_MODULE" "" sign "$WORK/request.json"
check_signature "empty data" sha256 "$WORK/empty.bin" "$WORK/signer.pub.pem"

# The request from standard input.
write_request "$WORK/request.json" "$PIN_JSON" "$WORK/signer.cert.der" "$WORK/data.bin" rsa_sha384
run_helper "$SOFTHSM_MODULE" "" sign - <"$WORK/request.json"
check_signature "request from standard input" sha384 "$WORK/data.bin" "$WORK/signer.pub.pem"

# A certificate that is not on the token: the token's first signing key
# signs. A second certificate of the signer's key verifies that signature; a
# certificate of another key does not, and gets none.
make_cert_for_key "$WORK/signer.key.pem" "$WORK/reissued" "Firmatario, altro certificato"
write_request "$WORK/request.json" "$PIN_JSON" "$WORK/reissued.cert.der" "$WORK/data.bin" rsa_sha256
run_helper "$SOFTHSM_MODULE" "" sign "$WORK/request.json"
check_signature "unknown certificate" sha256 "$WORK/data.bin" "$WORK/signer.pub.pem"
DOES_NOT_VERIFY='{"signature":null,"error":"Firma fallita: Function::Sign: invalid response from the PKCS#11 module (the signature does not verify against the certificate)"}'
write_request "$WORK/request.json" "$PIN_JSON" "$WORK/stranger.cert.der" "$WORK/data.bin" rsa_sha256
run_helper "$SOFTHSM_MODULE" "" sign "$WORK/request.json"
check_document_on_stdout "unknown certificate of another key"
check_equal "unknown certificate of another key: document" "$DOES_NOT_VERIFY" "$DOCUMENT"

# A certificate whose CKA_ID no private key carries: the key search is narrowed
# to that id, so the signer's key is not used. SoftHSM2's spare slot holds an
# uninitialised token that opens no session, so no slot yields a key.
write_request "$WORK/request.json" "$PIN_JSON" "$WORK/orphan.cert.der" "$WORK/data.bin" rsa_sha256
run_helper "$SOFTHSM_MODULE" "" sign "$WORK/request.json"
check_document_on_stdout "certificate without a key"
check_equal "certificate without a key: document" \
  '{"signature":null,"error":"Chiave privata di firma non trovata sul dispositivo."}' "$DOCUMENT"

# A renewed certificate written beside the old key, under the same CKA_ID: the
# key signs, but its signature does not verify against this certificate, by
# the token's hashing nor through the raw mechanism. Nothing goes out.
make_self_signed_cert "$WORK/renewed" "Firmatario rinnovato"
softhsm_import_cert firma "$PIN" "$WORK/renewed.cert.der" 01 rinnovato
write_request "$WORK/request.json" "$PIN_JSON" "$WORK/renewed.cert.der" "$WORK/data.bin" rsa_sha256
run_helper "$SOFTHSM_MODULE" "" sign "$WORK/request.json"
check_document_on_stdout "key of another certificate"
check_equal "key of another certificate: document" "$DOES_NOT_VERIFY" "$DOCUMENT"

# The document also goes to an output file, without a line feed.
write_request "$WORK/request.json" "$PIN_JSON" "$WORK/signer.cert.der" "$WORK/data.bin" rsa_sha512
run_helper "$SOFTHSM_MODULE" "$WORK/out.json" sign "$WORK/request.json"
check_equal "output file: exit status and standard streams" "0||" \
  "$RUN_STATUS|$(cat "$WORK/stdout")|$(cat "$WORK/stderr")"
DOCUMENT=$(cat "$WORK/out.json")
check_equal "output file: no line feed at the end" "$(wc -c <"$WORK/out.json")" "${#DOCUMENT}"
signature=$(document_member "$DOCUMENT" signature || echo "")
hex_to_file "$signature" "$WORK/signature.bin"
check_true "output file: openssl verifies the signature" \
  verifies sha512 "$WORK/signer.pub.pem" "$WORK/signature.bin" "$WORK/data.bin"

# A wrong PIN: the exact message, and no signature.
write_request "$WORK/request.json" "0000" "$WORK/signer.cert.der" "$WORK/data.bin" rsa_sha256
run_helper "$SOFTHSM_MODULE" "" sign "$WORK/request.json"
check_document_on_stdout "wrong PIN"
check_equal "wrong PIN: document" \
  '{"signature":null,"error":"Login fallito (PIN errato?): Function::Login: PKCS11 error: The specified PIN is incorrect, i.e., does not match the PIN stored on the token.  More generally-- when authentication to the token involves something other than a PIN-- the attempt to authenticate the user has failed."}' \
  "$DOCUMENT"

# A token of its own (the first key that may sign must stay the signer's on
# the token above): a key that wants the PIN at every signature, and EC keys.
softhsm_setup "$WORK/more-keys"
softhsm_init_token altre "$PIN"
make_self_signed_cert "$WORK/always" "PIN a ogni firma"
softhsm_import_key altre "$PIN" "$WORK/always.key.pem" 01 sempre --always-auth
softhsm_import_cert altre "$PIN" "$WORK/always.cert.der" 01 sempre
check_true "pkcs11-tool sees the key as always authenticate" \
  grep -q 'Access: *always authenticate' <(pkcs11-tool --module "$SOFTHSM_MODULE" \
    --token-label altre --login --pin "$PIN" --list-objects --type privkey 2>/dev/null)
for mechanism in "${RSA_MECHANISMS[@]}"; do
  write_request "$WORK/request.json" "$PIN_JSON" "$WORK/always.cert.der" "$WORK/data.bin" \
    "$mechanism"
  run_helper "$SOFTHSM_MODULE" "" sign "$WORK/request.json"
  check_mechanism_signature "PIN at every signature, $mechanism" "$mechanism" "$WORK/data.bin" \
    "$WORK/always.pub.pem"
done
# A wrong PIN still fails at the first login.
write_request "$WORK/request.json" "0000" "$WORK/always.cert.der" "$WORK/data.bin" rsa_pss_sha256
run_helper "$SOFTHSM_MODULE" "" sign "$WORK/request.json"
check_document_on_stdout "PIN at every signature, wrong PIN"
check_equal "PIN at every signature, wrong PIN: document" \
  '{"signature":null,"error":"Login fallito (PIN errato?): Function::Login: PKCS11 error: The specified PIN is incorrect, i.e., does not match the PIN stored on the token.  More generally-- when authentication to the token involves something other than a PIN-- the attempt to authenticate the user has failed."}' \
  "$DOCUMENT"

# EC keys: every curve with every digest (a P-521 signature needs DER's long
# length form; the r and s of random signatures often have their high bit set).
id=2
for curve in P-256 P-384 P-521; do
  make_self_signed_cert "$WORK/$curve" "Chiave $curve" "ec:$curve"
  softhsm_import_key altre "$PIN" "$WORK/$curve.key.pem" "0$id" "$curve"
  softhsm_import_cert altre "$PIN" "$WORK/$curve.cert.der" "0$id" "$curve"
  id=$((id + 1))
  for mechanism in ecdsa_sha256 ecdsa_sha384 ecdsa_sha512; do
    write_request "$WORK/request.json" "$PIN_JSON" "$WORK/$curve.cert.der" "$WORK/data.bin" \
      "$mechanism"
    run_helper "$SOFTHSM_MODULE" "" sign "$WORK/request.json"
    check_mechanism_signature "$curve, $mechanism" "$mechanism" "$WORK/data.bin" \
      "$WORK/$curve.pub.pem"
  done
done
# An RSA name with an EC key: SoftHSM2 accepts C_SignInit and fails C_Sign.
write_request "$WORK/request.json" "$PIN_JSON" "$WORK/P-256.cert.der" "$WORK/data.bin" rsa_sha256
run_helper "$SOFTHSM_MODULE" "" sign "$WORK/request.json"
check_document_on_stdout "RSA mechanism, EC key"
check_equal "RSA mechanism, EC key: document" \
  "{\"signature\":null,\"error\":\"Firma fallita: Function::Sign: PKCS11 error: $RV_GENERAL_ERROR\"}" \
  "$DOCUMENT"

e2e_finish
