#!/usr/bin/env bash
# Smart-card stacks without a card: OpenSC's opensc-pkcs11.so and ykcs11, once
# with no PC/SC daemon and once with pcscd running but without any reader
# driver. The script runs in a private namespace where /run (pcscd's socket)
# and the reader drivers are throwaway, so a pcscd of the machine, or a
# reader plugged into it, cannot change the outcome; hiding the drivers also
# keeps vsmartcard's virtual reader, when installed, from listening on every
# network interface (it binds 0.0.0.0:35963). Every run is bounded by
# a timeout: a stack that waits for a reader must not hang the caller.
#
# Usage: module_smartcard.sh HELPER REPO_ROOT
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/e2e.sh"
opensc_module=/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so
ykcs11_module=/usr/lib/x86_64-linux-gnu/libykcs11.so
matrix_init "$@" --requires "opensc-pkcs11:$opensc_module" "ykcs11:$ykcs11_module" \
  pcscd:pcscd opensc:pkcs11-tool
log_versions opensc-pkcs11 ykcs11 pcscd

sandbox_hide /run /usr/lib/pcsc/drivers /etc/reader.conf.d
mkdir -p /run/pcscd
empty_listing='{"slots":[],"error":null}'

# Without pcscd: OpenSC has no reader and so no slot; ykcs11 cannot list its
# slots at all.
run_helper_within 30 "$opensc_module"
check_document_is "OpenSC without pcscd" "$empty_listing"
run_helper_within 30 "$ykcs11_module"
check_document_is "ykcs11 without pcscd" \
  "{\"slots\":[],\"error\":\"Lettura degli slot fallita: Function::GetSlotList: PKCS11 error: $RV_DEVICE_ERROR\"}"
# pkcs11-tool meets the same refusal from ykcs11.
check_true "pkcs11-tool: ykcs11 without pcscd fails C_GetSlotList with CKR_DEVICE_ERROR" \
  bash -c "pkcs11-tool --module '$ykcs11_module' --list-slots 2>&1 | grep -q 'C_GetSlotList.*CKR_DEVICE_ERROR'"

# With pcscd and no reader: both list nothing, without error.
daemon_start pcscd "$WORK/pcscd.log" pcscd --foreground
check_true "pcscd is listening on its socket" wait_until 10 test -S /run/pcscd/pcscd.comm
run_helper_within 30 "$opensc_module"
check_document_is "OpenSC with pcscd and no reader" "$empty_listing"
run_helper_within 30 "$ykcs11_module"
check_document_is "ykcs11 with pcscd and no reader" "$empty_listing"
for module in "$opensc_module" "$ykcs11_module"; do
  check_equal "pkcs11-tool: $(basename "$module") with pcscd has no slot" "No slots." \
    "$(pkcs11-tool --module "$module" --list-slots 2>&1 | grep -E '^(No slots|Slot )')"
done

# A signing request meets the same modules: no token, so no key.
printf '["1234","30","00","rsa_sha256"]' >"$WORK/request.json"
for module in "$opensc_module" "$ykcs11_module"; do
  run_helper_within 30 "$module" "" sign "$WORK/request.json"
  check_document_is "signing with $(basename "$module") and no reader" \
    '{"signature":null,"error":"Chiave privata di firma non trovata sul dispositivo."}'
done

e2e_finish
