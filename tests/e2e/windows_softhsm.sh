#!/usr/bin/env bash
# The Windows .exe under Wine on a real module: SoftHSM2 and libcrypto
# cross-built for Windows (scripts/build_softhsm_windows.sh), loaded by its full
# path from a folder with spaces in its name, libcrypto beside it. Tokens made
# on Linux are read through a configuration whose token folder is a Z:\ path.
# The listing and a wrong PIN's document are byte for byte the Linux build's;
# the nine names sign, with the token's hashing mechanisms and with them
# withheld (then CNG hashes), and on a key that wants the PIN at every
# signature; openssl verifies every signature.
# Usage: MIRANDEL_WINDOWS_EXE=EXE MIRANDEL_WINDOWS_SOFTHSM=VENDOR_DIR
#   windows_softhsm.sh LINUX_HELPER REPO   (in the Wine prefix of scripts/test_windows.sh)
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

# run_windows CONF ARGUMENT...: run_helper for the .exe, SoftHSM2 reading CONF.
# A run that Wine failed to start (status 1, no output, which the program
# never gives) is repeated once, and said so.
run_windows() {
  local conf attempt
  conf=$(windows_path "$1")
  shift
  for attempt in 1 2; do
    set +e
    SOFTHSM2_CONF=$conf timeout 120 wine "$EXE" "$@" >"$WORK/stdout" 2>"$WORK/stderr"
    RUN_STATUS=$?
    set -e
    ((RUN_STATUS != 1)) || [[ -s $WORK/stdout || -s $WORK/stderr ]] && return 0
    ((attempt == 1)) && echo "RETRY: Wine started nothing: $*"
  done
  return 0
}

vendor="$WORK/Fornitore PKCS11/bin x64"
mkdir -p "$vendor"
cp "$MIRANDEL_WINDOWS_SOFTHSM"/{softhsm2,libcrypto-3-x64}.dll "$vendor/"
MODULE=$(windows_path "$vendor/softhsm2.dll")

# The tokens, made on Linux; the PIN's non-ASCII letter must reach the module
# as the same UTF-8 bytes.
softhsm_setup "$WORK/softhsm"
PIN=$'p\xc3\xafn-1234'
PIN_JSON='p\u00efn-1234'
softhsm_init_token firma "$PIN"
softhsm_add_signer firma "$PIN" "$WORK/rsa" "Firmatario RSA" 01 rsa
softhsm_add_signer firma "$PIN" "$WORK/ec" "Firmatario EC" 02 ec ec
softhsm_add_signer firma "$PIN" "$WORK/always" "PIN a ogni firma" 03 sempre rsa --always-auth
softhsm_init_token "Città vuota" "$PIN"

# Windows configurations: every mechanism, and the hashing RSA ones withheld;
# a Linux twin of the second shows them withheld. (SoftHSM2 2.6.1 keeps the
# leading "-" in the list's first name, so the list starts with an empty one.)
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

# The nine names, then two on the key that wants the PIN again after C_SignInit.
signings=(rsa_sha256:rsa rsa_sha384:rsa rsa_sha512:rsa rsa_pss_sha256:rsa rsa_pss_sha384:rsa
  rsa_pss_sha512:rsa ecdsa_sha256:ec ecdsa_sha384:ec ecdsa_sha512:ec rsa_sha256:always
  rsa_pss_sha512:always)
for conf in all withheld; do
  for signing in "${signings[@]}"; do
    mechanism=${signing%:*} key=${signing#*:}
    write_request "$WORK/request.json" "$PIN_JSON" "$WORK/$key.cert.der" "$WORK/data.bin" \
      "$mechanism"
    run_windows "$WORK/$conf.conf" "$MODULE" "" sign "$(windows_path "$WORK/request.json")"
    check_mechanism_signature "$conf mechanisms, $key key, $mechanism" "$mechanism" \
      "$WORK/data.bin" "$WORK/$key.pub.pem"
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
