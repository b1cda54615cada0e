#!/usr/bin/env bash
# Makes the vectors of signature_check_test.cpp with the openssl command line:
# fresh keys, a self-signed DER certificate for each, and signatures of one
# message with every scheme and hash that fits the key, ECDSA as r‖s the way
# a PKCS#11 module returns it, and PSS signatures without salt. Writes them as C++ macro calls to OUT.
#
# Usage: signature_vectors.sh OUT
set -euo pipefail

out=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

hex() { od -An -v -tx1 "$1" | tr -d ' \n'; }

message="$work/message"
printf 'Documento da firmare, 2026' >"$message"

# name, then the genpkey options of its key.
keys=(
  "rsa2048 -algorithm RSA -pkeyopt rsa_keygen_bits:2048"
  "rsa2048_other -algorithm RSA -pkeyopt rsa_keygen_bits:2048"
  "p256 -algorithm EC -pkeyopt ec_paramgen_curve:P-256"
  "p256_other -algorithm EC -pkeyopt ec_paramgen_curve:P-256"
  "p384 -algorithm EC -pkeyopt ec_paramgen_curve:P-384"
  "p384_other -algorithm EC -pkeyopt ec_paramgen_curve:P-384"
  "p521 -algorithm EC -pkeyopt ec_paramgen_curve:P-521"
  "p521_other -algorithm EC -pkeyopt ec_paramgen_curve:P-521"
  "secp256k1 -algorithm EC -pkeyopt ec_paramgen_curve:secp256k1"
  "ed25519 -algorithm ED25519"
  "rsa_pss_only -algorithm RSA-PSS -pkeyopt rsa_keygen_bits:2048"
)

# r‖s of a DER ECDSA signature, each half padded to SIZE bytes.
r_and_s() {
  local der=$1 size=$2 value
  openssl asn1parse -inform DER -in "$der" | sed -n 's/.*INTEGER *://p' | while read -r value; do
    value=${value#"${value%%[!0]*}"}  # asn1parse prints a leading 00 for a high bit
    [[ $((${#value} % 2)) == 1 ]] && value=0$value
    printf '%*s' $((2 * size - ${#value})) '' | tr ' ' 0
    printf '%s' "${value,,}"
  done
}

{
  echo "// Made by signature_vectors.sh at build time; not edited by hand."
  echo "MIRANDEL_MESSAGE(\"$(hex "$message")\")"
  for entry in "${keys[@]}"; do
    read -r name options <<<"$entry"
    # shellcheck disable=SC2086  # the options are words
    openssl genpkey $options -out "$work/$name.pem" 2>/dev/null
    openssl req -new -x509 -key "$work/$name.pem" -subj "/CN=$name" -days 30 -outform DER \
      -out "$work/$name.der"
    echo "MIRANDEL_CERTIFICATE($name, \"$(hex "$work/$name.der")\")"
  done
  for name in rsa2048 p256 p384 p521; do
    for bits in 256 384 512; do
      sig=$work/$name-$bits.sig
      if [[ $name == rsa* ]]; then
        openssl dgst -sha$bits -sign "$work/$name.pem" -out "$sig" "$message"
        echo "MIRANDEL_SIGNATURE($name, RsaPkcs1, Sha$bits, \"$(hex "$sig")\")"
        openssl dgst -sha$bits -sign "$work/$name.pem" -sigopt rsa_padding_mode:pss \
          -sigopt rsa_pss_saltlen:digest -sigopt rsa_mgf1_md:sha$bits -out "$sig" "$message"
        echo "MIRANDEL_SIGNATURE($name, RsaPss, Sha$bits, \"$(hex "$sig")\")"
        # The same with no salt, which the check must refuse: its salt is as
        # long as the hash.
        openssl dgst -sha$bits -sign "$work/$name.pem" -sigopt rsa_padding_mode:pss \
          -sigopt rsa_pss_saltlen:0 -sigopt rsa_mgf1_md:sha$bits -out "$sig" "$message"
        echo "MIRANDEL_UNSALTED_PSS($name, Sha$bits, \"$(hex "$sig")\")"
      else
        openssl dgst -sha$bits -sign "$work/$name.pem" -out "$sig" "$message"
        size=$(((${name#p} + 7) / 8))
        echo "MIRANDEL_SIGNATURE($name, Ecdsa, Sha$bits, \"$(r_and_s "$sig" "$size")\")"
      fi
    done
  done
} >"$out.tmp"
mv "$out.tmp" "$out"
