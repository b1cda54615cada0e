#!/usr/bin/env bash
# Shows the helper at work on a throwaway SoftHSM2 token: builds it, makes a
# token with an RSA-2048 key and its self-signed certificate, lists the
# certificates, then signs a short text with each mechanism and has openssl
# verify every signature.
#
# Usage: scripts/demo.sh   (from any directory; installs missing packages as root)
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/lib/packages.sh
source scripts/lib/softhsm.sh
source scripts/lib/hex.sh
source scripts/lib/documents.sh

ensure_packages "${MIRANDEL_BASE_PACKAGES[@]}"

echo "== Building build/mirandel-pkcs11-helper"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target mirandel-pkcs11-helper >/dev/null
helper=$PWD/build/mirandel-pkcs11-helper

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

pin=1234
token="Mirandel demo"
echo "== Making a throwaway SoftHSM2 token \"$token\" in $work"
softhsm_setup "$work/softhsm"
softhsm_init_token "$token" "$pin"
make_self_signed_cert "$work/signer" "Mirandel demo signer" rsa
# The key and its certificate share CKA_ID 01, which is how the helper pairs them.
softhsm_import_key "$token" "$pin" "$work/signer.key.pem" 01 "demo key"
softhsm_import_cert "$token" "$pin" "$work/signer.cert.der" 01 "demo certificate"

echo
echo "== Listing: $helper $SOFTHSM_MODULE"
listing=$("$helper" "$SOFTHSM_MODULE")
printf '%s\n' "$listing"

cert_hex=$(listing_der_hexes "$listing" | head -n 1)
if [[ $cert_hex != "$(hex_of_file "$work/signer.cert.der")" ]]; then
  echo "The listed certificate is not the one imported." >&2
  exit 1
fi

data="Documento di prova firmato con Mirandel."
printf '%s' "$data" >"$work/data.txt"
data_hex=$(hex_of_text "$data")

for bits in 256 384 512; do
  mechanism=rsa_sha$bits
  printf '{"pin":"%s","cert_der_hex":"%s","data_hex":"%s","mechanism":"%s"}' \
    "$pin" "$cert_hex" "$data_hex" "$mechanism" >"$work/request.json"
  echo
  echo "== Signing with $mechanism: $helper $SOFTHSM_MODULE \"\" sign request.json"
  echo "   request: {\"pin\":\"$pin\",\"cert_der_hex\":\"${cert_hex:0:24}...\",\"data_hex\":\"$data_hex\",\"mechanism\":\"$mechanism\"}"
  document=$("$helper" "$SOFTHSM_MODULE" "" sign "$work/request.json")
  printf '%s\n' "$document"
  signature=$(document_member "$document" signature)
  if [[ $signature == null ]]; then
    echo "Signing with $mechanism failed." >&2
    exit 1
  fi
  hex_to_file "$signature" "$work/signature.bin"
  echo "   openssl dgst -sha$bits -verify signer.pub.pem -signature signature.bin data.txt"
  openssl dgst "-sha$bits" -verify "$work/signer.pub.pem" -signature "$work/signature.bin" \
    "$work/data.txt"
done
