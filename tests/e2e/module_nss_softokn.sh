#!/usr/bin/env bash
# NSS's software token, libsoftokn3.so, loaded like any vendor module: it
# needs initialisation parameters of its own in C_Initialize's reserved
# field, which the helper never passes, so the run must end with the exact
# initialisation failure, for listing and for signing alike.
#
# Usage: module_nss_softokn.sh HELPER REPO_ROOT
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/e2e.sh"
module=/usr/lib/x86_64-linux-gnu/libsoftokn3.so
matrix_init "$@" --requires "libnss3:$module"
log_versions libnss3

failure="Inizializzazione PKCS#11 fallita: Function::Initialize: PKCS11 error: $RV_ARGUMENTS_BAD"
run_helper_within 30 "$module"
check_document_is "listing" "{\"slots\":[],\"error\":\"$failure\"}"
printf '["1234","30","00","rsa_sha512"]' >"$WORK/request.json"
run_helper_within 30 "$module" "" sign "$WORK/request.json"
check_document_is "signing" "{\"signature\":null,\"error\":\"$failure\"}"

e2e_finish
