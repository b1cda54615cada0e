#!/usr/bin/env bash
# The Windows program under Wine on a real module, no mock: SoftHSM2 and its
# libcrypto cross-built for Windows (scripts/build_softhsm_windows.sh), copied
# into a folder with spaces in its name and loaded by its full path, with
# libcrypto found beside it. The tokens are made on Linux with softhsm2-util
# and pkcs11-tool; the Windows module reads the same store through a
# configuration whose token folder is a Z:\ path.
# - the listing is byte for byte the Linux build's listing of the same tokens
#   through Debian's libsofthsm2.so;
# - the nine mechanism names sign, each signature verified by openssl: with
#   every mechanism of the token, then with its hashing signature mechanisms
#   withheld (slots.mechanisms), so that the program hashes through CNG;
# - a key that wants the PIN at every signature signs; a wrong PIN gives the
#   Linux build's document, byte for byte.
#
# Usage: windows_softhsm.sh LINUX_HELPER REPO, with MIRANDEL_WINDOWS_EXE naming
# the .exe and MIRANDEL_WINDOWS_SOFTHSM the folder holding softhsm2.dll and
# libcrypto-3-x64.dll. Runs in the caller's Wine prefix (scripts/test_windows.sh
# sets it up and runs this script).
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/e2e.sh"
e2e_init "$@" --needs wine softhsm2-util pkcs11-tool openssl "$SOFTHSM_MODULE" \
  "${MIRANDEL_WINDOWS_EXE:-/MIRANDEL_WINDOWS_EXE}" \
  "${MIRANDEL_WINDOWS_SOFTHSM:-/MIRANDEL_WINDOWS_SOFTHSM}/softhsm2.dll"
EXE=$MIRANDEL_WINDOWS_EXE

# The Windows name of a Unix path, through Wine's drive Z:.
windows_path() {
  printf 'Z:%s' "${1//\//\\}"
}

# Runs the .exe under Wine as run_helper runs the Linux build, with SoftHSM2
# reading the configuration CONF: run_windows CONF ARGUMENT... Wine now and
# then fails to start a process at all (status 1, both streams empty) on a
# loaded machine, which the program itself never does: such a run is
# repeated once, and said so.
run_windows() {
  local conf
  conf=$(windows_path "$1")
  shift
  local attempt
  for attempt in 1 2; do
    set +e
    SOFTHSM2_CONF=$conf timeout 120 wine "$EXE" "$@" >"$WORK/stdout" 2>"$WORK/stderr"
    RUN_STATUS=$?
    set -e
    if ((RUN_STATUS != 1)) || [[ -s $WORK/stdout || -s $WORK/stderr ]]; then
      return 0
    fi
    ((attempt == 1)) && echo "RETRY: Wine started nothing (status 1, no output): $*"
  done
}

# The vendor folder, as an installer would lay it out.
vendor="$WORK/Fornitore PKCS11/bin x64"
mkdir -p "$vendor"
cp "$MIRANDEL_WINDOWS_SOFTHSM/softhsm2.dll" "$MIRANDEL_WINDOWS_SOFTHSM/libcrypto-3-x64.dll" \
  "$vendor/"
MODULE=$(windows_path "$vendor/softhsm2.dll")

# The tokens, made on Linux. The PIN holds a non-ASCII letter, which reaches
# the Windows module as the same UTF-8 bytes.
softhsm_setup "$WORK/softhsm"
PIN=$'p\xc3\xafn-1234'
PIN_JSON='p\u00efn-1234'
softhsm_init_token firma "$PIN"
softhsm_add_signer firma "$PIN" "$WORK/rsa" "Firmatario RSA" 01 rsa
softhsm_add_signer firma "$PIN" "$WORK/ec" "Firmatario EC" 02 ec ec
softhsm_add_signer firma "$PIN" "$WORK/always" "PIN a ogni firma" 03 sempre rsa --always-auth
softhsm_init_token "Città vuota" "$PIN"

# Two Windows configurations of the same store: every mechanism, and the
# hashing signature mechanisms withheld (the raw ones stay). A Linux twin of
# the second shows that SoftHSM2 does withhold them. SoftHSM2 2.6.1 keeps the
# leading "-" of such a list in its first name, which it then does not know:
# the list starts with an empty name.
withheld=CKM_SHA256_RSA_PKCS,CKM_SHA384_RSA_PKCS,CKM_SHA512_RSA_PKCS
withheld+=,CKM_SHA256_RSA_PKCS_PSS,CKM_SHA384_RSA_PKCS_PSS,CKM_SHA512_RSA_PKCS_PSS
# windows_conf FILE MECHANISMS [TOKEN_FOLDER]
windows_conf() {
  printf '%s\n' "directories.tokendir = ${3:-$(windows_path "$WORK/softhsm/tokens")}" \
    "objectstore.backend = file" "log.level = ERROR" "slots.removable = false" \
    "slots.mechanisms = $2" >"$1"
}
windows_conf "$WORK/all.conf" ALL
windows_conf "$WORK/withheld.conf" "-,$withheld"
windows_conf "$WORK/withheld-linux.conf" "-,$withheld" "$WORK/softhsm/tokens"
offered=$(SOFTHSM2_CONF=$WORK/withheld-linux.conf pkcs11-tool --module "$SOFTHSM_MODULE" \
  --token-label firma --list-mechanisms 2>/dev/null)
check_equal "withheld configuration: no hashing RSA mechanism offered, raw ones kept" \
  "0 1 1" "$(grep -cE 'SHA(256|384|512)-RSA' <<<"$offered") $(grep -c '^  RSA-PKCS,' <<<"$offered") \
$(grep -c '^  RSA-PKCS-PSS,' <<<"$offered")"

# The listing: the same bytes from both builds.
run_helper "$SOFTHSM_MODULE"
cp "$WORK/stdout" "$WORK/linux-listing.json"
check_true "Linux listing shows the RSA certificate" \
  grep -q "$(hex_of_file "$WORK/rsa.cert.der")" "$WORK/linux-listing.json"
run_windows "$WORK/all.conf" "$MODULE"
check_document_on_stdout "Windows listing"
check_true "Windows listing: byte-identical to the Linux build's" \
  cmp "$WORK/linux-listing.json" "$WORK/stdout"

printf 'Documento da firmare sotto Windows: \xc3\xa8 cos\xc3\xac.\n' >"$WORK/data.bin"

# The nine names, on each configuration: mechanism -> key.
declare -A key_of=([rsa_sha256]=rsa [rsa_sha384]=rsa [rsa_sha512]=rsa [rsa_pss_sha256]=rsa
  [rsa_pss_sha384]=rsa [rsa_pss_sha512]=rsa [ecdsa_sha256]=ec [ecdsa_sha384]=ec
  [ecdsa_sha512]=ec)
for conf in all withheld; do
  for mechanism in rsa_sha256 rsa_sha384 rsa_sha512 rsa_pss_sha256 rsa_pss_sha384 \
    rsa_pss_sha512 ecdsa_sha256 ecdsa_sha384 ecdsa_sha512; do
    key=${key_of[$mechanism]}
    write_request "$WORK/request.json" "$PIN_JSON" "$WORK/$key.cert.der" "$WORK/data.bin" \
      "$mechanism"
    run_windows "$WORK/$conf.conf" "$MODULE" "" sign "$(windows_path "$WORK/request.json")"
    check_mechanism_signature "$conf mechanisms, $mechanism" "$mechanism" "$WORK/data.bin" \
      "$WORK/$key.pub.pem"
  done
  # The key that wants the PIN again after C_SignInit.
  for mechanism in rsa_sha256 rsa_pss_sha512; do
    write_request "$WORK/request.json" "$PIN_JSON" "$WORK/always.cert.der" "$WORK/data.bin" \
      "$mechanism"
    run_windows "$WORK/$conf.conf" "$MODULE" "" sign "$(windows_path "$WORK/request.json")"
    check_mechanism_signature "$conf mechanisms, PIN at every signature, $mechanism" \
      "$mechanism" "$WORK/data.bin" "$WORK/always.pub.pem"
  done
done

# A wrong PIN: the Linux build's document, byte for byte.
write_request "$WORK/request.json" "0000" "$WORK/rsa.cert.der" "$WORK/data.bin" rsa_sha256
run_helper "$SOFTHSM_MODULE" "" sign "$WORK/request.json"
cp "$WORK/stdout" "$WORK/linux-wrong-pin.json"
check_true "Linux build: wrong PIN refused at login" \
  grep -q '"error":"Login fallito (PIN errato?): ' "$WORK/linux-wrong-pin.json"
run_windows "$WORK/all.conf" "$MODULE" "" sign "$(windows_path "$WORK/request.json")"
check_document_on_stdout "Windows, wrong PIN"
check_true "Windows, wrong PIN: byte-identical to the Linux build's document" \
  cmp "$WORK/linux-wrong-pin.json" "$WORK/stdout"

e2e_finish
