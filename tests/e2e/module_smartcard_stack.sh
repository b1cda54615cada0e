#!/usr/bin/env bash
# A smart card through the whole stack signers use: pcscd with vsmartcard's
# virtual reader driver (vpcd), an emulated card (libcacard's CAC card over an
# NSS database with three RSA-2048 keys and self-signed certificates, joined
# to the reader by tests/e2e/card_bridge), and OpenSC's opensc-pkcs11.so as
# the module. The NSS database's password is the card's PIN.
#   - Listing: one slot, the three certificates byte for byte, in order.
#   - Signing: every certificate with the six RSA names, verified by openssl;
#     an ecdsa name refused; a wrong PIN refused, the right one signs after.
#   - The card removed (bridge stopped), put back, and pulled out while it
#     signs (slowed on the signing APDU); pcscd stopped: each run ends in
#     bounded time with its exact document.
# The stack lives in private network, mount and PID namespaces: vpcd listens
# on every interface, here only the namespace's loopback; pcscd's socket
# folder and reader configuration are throwaway. Every process is stopped by
# its process id on exit and on INT, TERM and HUP, and the kernel ends the
# rest with the namespace. Without a bridge (libcacard-dev missing when the
# build was configured) or namespaces the script skips, saying why.
#
# Usage: module_smartcard_stack.sh HELPER REPO_ROOT
# The bridge is MIRANDEL_CARD_BRIDGE (CTest sets it, empty when it was not
# built), else tests/e2e/card_bridge in the helper's build folder.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/e2e.sh"
module=/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so
vpcd_driver=/usr/lib/pcsc/drivers/serial/libifdvpcd.so
bridge=${MIRANDEL_CARD_BRIDGE-$(dirname "${1:-build/x}")/tests/e2e/card_bridge}
if [[ -z $bridge || ! -x $bridge ]]; then
  echo "SKIP: the card bridge ${bridge:-tests/e2e/card_bridge} was not built (libcacard-dev" \
    "was missing when the build was configured; scripts/test.sh installs it)"
  exit 77
fi
# shellcheck disable=SC2034 # read by sandbox_enter, in matrix_init
MATRIX_PRIVATE_NETWORK=1 MATRIX_UNPRIVILEGED=1
matrix_init "$@" --requires "opensc-pkcs11:$module" pcscd:pcscd "vsmartcard-vpcd:$vpcd_driver" \
  libnss3-tools:certutil opensc:pkcs11-tool openssl:openssl iproute2:ip
log_versions opensc-pkcs11 pcscd vsmartcard-vpcd libcacard0 libnss3-tools

# The card: an NSS database whose password is the PIN, three keys with their
# certificates, exported as DER to compare and as public keys to verify.
pin=24680
db=$WORK/card
mkdir -p "$db"
printf '%s\n' "$pin" >"$WORK/pin.txt"
head -c 2048 /dev/urandom >"$WORK/noise"
certutil -N -d "sql:$db" -f "$WORK/pin.txt"
names=(firma1 firma2 firma3)
for i in 1 2 3; do
  certutil -S -d "sql:$db" -f "$WORK/pin.txt" -z "$WORK/noise" -n "firma$i" -x -t u,u,u \
    -s "CN=Mirandel carta $i" -k rsa -g 2048 -v 12 -m "$((1000 + i))" >/dev/null
  certutil -L -d "sql:$db" -n "firma$i" -r >"$WORK/firma$i.der"
  openssl x509 -inform DER -in "$WORK/firma$i.der" -pubkey -noout >"$WORK/firma$i.pub.pem"
done

# pcscd with a reader configuration folder of its own: vpcd's two readers on
# a port pair of the namespace's loopback. The machine's reader drivers are
# hidden so that no real reader takes part, and /run so that pcscd's socket
# folder, /run/pcscd (pcsc-lite's daemon takes no other), is the test's.
cp "$vpcd_driver" "$WORK/libifdvpcd.so"
sandbox_hide /run /usr/lib/pcsc/drivers
mkdir -p /run/pcscd "$WORK/reader.conf.d"
port=$(free_port_pair)
cat >"$WORK/reader.conf.d/vpcd" <<EOF
FRIENDLYNAME "Virtual PCD"
DEVICENAME   /dev/null:$port
LIBPATH      $WORK/libifdvpcd.so
CHANNELID    $port
EOF
start_pcscd() {
  daemon_start pcscd "$WORK/pcscd.log" pcscd --foreground --config "$WORK/reader.conf.d"
  PCSCD_PID=$DAEMON_PID
  check_true "pcscd is listening on its socket" wait_until 10 test -S /run/pcscd/pcscd.comm
}
# insert_card [BRIDGE_OPTION...]: starts the bridge; the card is in once
# pkcs11-tool sees a token.
insert_card() {
  daemon_start card "$WORK/card.log" "$bridge" "$port" "$db" "${names[@]}" "$@"
  CARD_PID=$DAEMON_PID
  check_true "the card is in the reader" wait_until 15 \
    bash -c "pkcs11-tool --module '$module' --list-token-slots 2>/dev/null | grep -q 'token label'"
}
remove_card() {
  daemon_stop "$CARD_PID"
  wait_until 10 bash -c "! pkcs11-tool --module '$module' --list-token-slots 2>/dev/null |
    grep -q 'token label'" || true
}
stack_started=$SECONDS
start_pcscd
insert_card

# Listing: the reader's one slot with the card, its certificates in the order
# they were put on it, and the slot as pkcs11-tool and p11tool see it.
certs=
for name in "${names[@]}"; do
  certs+="${certs:+,}{\"der_hex\":\"$(hex_of_file "$WORK/$name.der")\"}"
done
slot='{"description":"Virtual PCD 00 00","token_label":"Mirandel carta 1"'
run_helper_within 60 "$module"
check_document_is "listing" "{\"slots\":[$slot,\"certs\":[$certs]}],\"error\":null}"
check_equal "listing: the slot as pkcs11-tool and p11tool see it" \
  $'"Virtual PCD 00 00"\t"Mirandel carta 1"' "$(independent_slots "$module")"

# Signing with every key and every RSA name. The card only computes raw RSA;
# OpenSC offers the hashing mechanisms itself, hashing and padding on the host.
check_equal "pkcs11-tool: the card's signing mechanisms" \
  "$(printf '%s\n' RSA-PKCS RSA-PKCS-PSS SHA{256,384,512}-RSA-PKCS{,-PSS})" \
  "$(token_signing_mechanisms "$module")"
printf 'Fattura n. 22\x00\xff\xfe' >"$WORK/data.bin"
# sign_with NAME MECHANISM [PIN]: runs a signing request for that key.
sign_with() {
  write_request "$WORK/request.json" "${3:-$pin}" "$WORK/$1.der" "$WORK/data.bin" "$2"
  run_helper_within 60 "$module" "" sign "$WORK/request.json"
}
# refused MESSAGE: the signing document of a failure.
refused() {
  printf '{"signature":null,"error":"%s"}' "$1"
}
for name in "${names[@]}"; do
  for mechanism in rsa_sha256 rsa_sha384 rsa_sha512 rsa_pss_sha256 rsa_pss_sha384 rsa_pss_sha512; do
    sign_with "$name" "$mechanism"
    check_mechanism_signature "$name, $mechanism" "$mechanism" "$WORK/data.bin" \
      "$WORK/$name.pub.pem"
  done
done
sign_with firma2 ecdsa_sha256
check_document_is "ecdsa_sha256 with an RSA key on a card without ECDSA" \
  "$(refused "Firma fallita: Function::SignInit: PKCS11 error: $RV_MECHANISM_INVALID")"

# A wrong PIN: the card answers VERIFY with 6985, which OpenSC reports as
# CKR_GENERAL_ERROR. The card has no tries counter; the right PIN signs next.
sign_with firma1 rsa_sha256 13579
check_document_is "wrong PIN" \
  "$(refused "Login fallito (PIN errato?): Function::Login: PKCS11 error: $RV_GENERAL_ERROR")"
sign_with firma1 rsa_sha256
check_signature "the right PIN after a wrong one" sha256 "$WORK/data.bin" "$WORK/firma1.pub.pem"

# The card removed: the reader is empty, so no slot and no key.
no_slot='{"slots":[],"error":null}'
no_key=$(refused "Chiave privata di firma non trovata sul dispositivo.")
remove_card
run_helper_within 60 "$module"
check_document_is "listing, card removed" "$no_slot"
sign_with firma1 rsa_sha256
check_document_is "signing, card removed" "$no_key"

# The card put back signs again.
insert_card
sign_with firma3 rsa_pss_sha512
check_mechanism_signature "the card put back" rsa_pss_sha512 "$WORK/data.bin" "$WORK/firma3.pub.pem"

# The card pulled out while it signs: the bridge holds the signing APDU (CAC
# instruction 42) for 30 s and is stopped as soon as it has it. The run must
# end at once with C_Sign's failure, not wait for the card.
remove_card
insert_card --slow-ins 42 --slow-ms 30000
started=$SECONDS
(
  sign_with firma1 rsa_sha256
  exit "$RUN_STATUS"
) &
signing=$!
check_true "the card receives the signing APDU" wait_until 20 grep -q 'slow APDU 42' "$WORK/card.log"
daemon_stop "$CARD_PID"
wait "$signing" && RUN_STATUS=0 || RUN_STATUS=$?
check_document_is "card pulled out during the signature" \
  "$(refused "Firma fallita: Function::Sign: PKCS11 error: $RV_GENERAL_ERROR")"
check_true "the run ends well before the slowed card would have answered" \
  test $((SECONDS - started)) -lt 20

# pcscd stopped with the card in: no reader at all, and no hang.
insert_card
daemon_stop "$PCSCD_PID"
run_helper_within 60 "$module"
check_document_is "listing, pcscd stopped" "$no_slot"
sign_with firma1 rsa_sha256
check_document_is "signing, pcscd stopped" "$no_key"
echo "the stack's checks took $((SECONDS - stack_started)) s"

e2e_finish
