#!/usr/bin/env bash
# Shows the helper at work on a throwaway SoftHSM2 token: builds it, makes a
# token with an RSA-2048 key, an EC P-256 key and their self-signed
# certificates, lists the certificates, then signs a short text with RSA
# PKCS#1 v1.5 (three digests), RSA-PSS and ECDSA, and has openssl verify every
# signature. Last, a renewed certificate written beside the old key: the
# helper checks the token's signature against it and refuses to hand it over,
# as openssl rejects it.
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
make_self_signed_cert "$work/ec" "Mirandel demo EC signer" ec
softhsm_import_key "$token" "$pin" "$work/ec.key.pem" 02 "demo EC key"
softhsm_import_cert "$token" "$pin" "$work/ec.cert.der" 02 "demo EC certificate"

echo
echo "== Listing: $helper $SOFTHSM_MODULE"
listing=$("$helper" "$SOFTHSM_MODULE")
printf '%s\n' "$listing"

# The token may list its certificates in any order.
if [[ $(listing_der_hexes "$listing" | sort) != \
  "$(printf '%s\n' "$(hex_of_file "$work/signer.cert.der")" "$(hex_of_file "$work/ec.cert.der")" |
    sort)" ]]; then
  echo "The listed certificates are not the ones imported." >&2
  exit 1
fi

data="Documento di prova firmato con Mirandel."
printf '%s' "$data" >"$work/data.txt"
data_hex=$(hex_of_text "$data")

# MECHANISM:KEY, KEY naming the certificate and public key files.
for pair in rsa_sha256:signer rsa_sha384:signer rsa_sha512:signer rsa_pss_sha256:signer \
  ecdsa_sha256:ec; do
  mechanism=${pair%:*}
  key=${pair#*:}
  bits=${mechanism##*sha}
  cert_hex=$(hex_of_file "$work/$key.cert.der")
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
  cp "$work/signature.bin" "$work/$mechanism.bin"
  # RSA-PSS: MGF1 with the same digest, and a salt as long as the digest.
  options=()
  [[ $mechanism == rsa_pss_* ]] &&
    options=(-sigopt rsa_padding_mode:pss -sigopt rsa_pss_saltlen:digest)
  echo "   openssl dgst -sha$bits -verify $key.pub.pem ${options[*]:+${options[*]} }-signature signature.bin data.txt"
  openssl dgst "-sha$bits" -verify "$work/$key.pub.pem" "${options[@]}" \
    -signature "$work/signature.bin" "$work/data.txt"
done

# A renewed certificate (a new key) written beside the old key under the same
# CKA_ID: the token signs with the old key, which is not this certificate's.
make_self_signed_cert "$work/renewed" "Mirandel demo signer, renewed" rsa
softhsm_import_cert "$token" "$pin" "$work/renewed.cert.der" 01 "renewed certificate"
cert_hex=$(hex_of_file "$work/renewed.cert.der")
printf '{"pin":"%s","cert_der_hex":"%s","data_hex":"%s","mechanism":"rsa_sha256"}' \
  "$pin" "$cert_hex" "$data_hex" >"$work/request.json"
echo
echo "== A renewed certificate beside the old key, CKA_ID 01: the helper checks every signature"
echo "   request: {\"pin\":\"$pin\",\"cert_der_hex\":\"${cert_hex:0:24}...\",\"data_hex\":\"$data_hex\",\"mechanism\":\"rsa_sha256\"}"
document=$("$helper" "$SOFTHSM_MODULE" "" sign "$work/request.json")
printf '%s\n' "$document"
if [[ $(document_member "$document" signature) != null ]]; then
  echo "The helper handed over a signature that does not verify." >&2
  exit 1
fi
# The old key's rsa_sha256 signature is the one the token made: openssl
# rejects it against the renewed certificate too.
echo "   openssl dgst -sha256 -verify renewed.pub.pem -signature rsa_sha256.bin data.txt"
if openssl dgst -sha256 -verify "$work/renewed.pub.pem" -signature "$work/rsa_sha256.bin" \
  "$work/data.txt"; then
  echo "openssl accepted the old key's signature against the renewed certificate." >&2
  exit 1
fi
