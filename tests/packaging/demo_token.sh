# shellcheck shell=bash
# A throwaway SoftHSM2 token for the packaging and example tests, made like the
# RSA part of the one of scripts/demo.sh. Source after e2e.sh, then call
#   make_demo_token DIR
# which makes the token "Mirandel demo" with PIN $DEMO_PIN, an RSA-2048 key
# and its certificate (CKA_ID 01), and leaves DIR/signer.cert.der and
# DIR/signer.pub.pem for the checks.

DEMO_PIN=1234
DEMO_DATA="Documento di prova firmato con Mirandel."

make_demo_token() {
  local dir=$1
  softhsm_setup "$dir/softhsm" &&
    softhsm_init_token "Mirandel demo" "$DEMO_PIN" &&
    make_self_signed_cert "$dir/signer" "Mirandel demo signer" rsa &&
    softhsm_import_key "Mirandel demo" "$DEMO_PIN" "$dir/signer.key.pem" 01 "demo key" &&
    softhsm_import_cert "Mirandel demo" "$DEMO_PIN" "$dir/signer.cert.der" 01 "demo certificate"
}

# Checks a signature of DEMO_DATA made with the demo key: check_demo_signature WHAT HEX DIR
check_demo_signature() {
  local what=$1 hex=$2 dir=$3
  printf '%s' "$DEMO_DATA" >"$dir/data.txt"
  if hex_to_file "$hex" "$dir/signature.bin" &&
    openssl dgst -sha256 -verify "$dir/signer.pub.pem" -signature "$dir/signature.bin" \
      "$dir/data.txt" >/dev/null 2>&1; then
    pass
  else
    fail "$what: the signature verifies with the certificate's public key" "signature: $hex"
  fi
}
