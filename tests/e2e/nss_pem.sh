#!/usr/bin/env bash
# Lists and signs through Debian's nss-pem module, which refuses
# CKF_OS_LOCKING_OK with CKR_CANT_LOCK and works once initialised with a null
# argument. It needs no set-up: it shows eight slots, "PEM Slot #0" to "#7",
# each with an empty token ("PEM Token #0" to "#7").
#
# Usage: nss_pem.sh HELPER REPO_ROOT
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/e2e.sh"
nss_pem=/usr/lib/x86_64-linux-gnu/nss/libnsspem.so
e2e_init "$@" --needs "$nss_pem"

slots=""
for i in 0 1 2 3 4 5 6 7; do
  slots+="${slots:+,}{\"description\":\"PEM Slot #$i\",\"token_label\":\"PEM Token #$i\",\"certs\":[]}"
done

run_helper "$nss_pem"
check_document_on_stdout "listing"
check_equal "listing: eight empty PEM tokens, no error" "{\"slots\":[$slots],\"error\":null}" \
  "$DOCUMENT"

# Signing gets past the start-up as well. No token holds the certificate, so
# the first token is logged in to, and nss-pem answers C_Login on its empty
# tokens with CKR_GENERAL_ERROR.
printf '{"pin":"1234","cert_der_hex":"3082","data_hex":"00","mechanism":"rsa_sha256"}' \
  >"$WORK/request.json"
run_helper "$nss_pem" "" sign "$WORK/request.json"
check_document_on_stdout "signing"
check_equal "signing: the run reaches C_Login" \
  '{"signature":null,"error":"Login fallito (PIN errato?): Function::Login: PKCS11 error: Some horrible, unrecoverable error has occurred.  In the worst case, it is possible that the function only partially succeeded, and that the computer and/or token is in an inconsistent state."}' \
  "$DOCUMENT"

e2e_finish
