# shellcheck shell=bash
# Throwaway SoftHSM2 tokens for the demo and the end-to-end tests.
#
# Source this file, call softhsm_setup with a temporary directory, then create
# tokens and put keys and certificates on them. Nothing outside that
# directory is touched: SoftHSM2 finds its configuration through
# SOFTHSM2_CONF, which softhsm_setup exports to this shell and its children
# only. The helper itself reads no environment; the SoftHSM2 module it loads
# does.

# The SoftHSM2 module as Debian 12 installs it.
SOFTHSM_MODULE=${SOFTHSM_MODULE:-/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so}
# Security officer PIN of every throwaway token.
SOFTHSM_SO_PIN=${SOFTHSM_SO_PIN:-12345678}

# Prepares DIR as a private SoftHSM2 token store and points SoftHSM2 at it.
softhsm_setup() {
  local dir=$1
  mkdir -p "$dir/tokens" || return 1
  cat >"$dir/softhsm2.conf" <<CONF || return 1
directories.tokendir = $dir/tokens
objectstore.backend = file
log.level = ERROR
slots.removable = false
slots.mechanisms = ALL
CONF
  export SOFTHSM2_CONF="$dir/softhsm2.conf"
}

# Initialises a new token in the first free slot: softhsm_init_token LABEL USER_PIN.
softhsm_init_token() {
  local label=$1 pin=$2
  softhsm2-util --init-token --free --label "$label" --so-pin "$SOFTHSM_SO_PIN" --pin "$pin" \
    >/dev/null
}

# Makes a self-signed certificate with a fresh key:
#   make_self_signed_cert PREFIX SUBJECT_CN [rsa|ec|ec:CURVE]
# Writes PREFIX.key.pem (PKCS#8), PREFIX.cert.pem, PREFIX.cert.der and
# PREFIX.pub.pem. RSA keys are 2048 bits; EC keys are on P-256 unless a curve
# is named (ec:P-384, ec:P-521), and quicker to make where only the
# certificate matters.
make_self_signed_cert() {
  local prefix=$1 cn=$2 kind=${3:-rsa}
  local -a newkey
  case $kind in
    rsa) newkey=(-newkey rsa:2048) ;;
    ec) newkey=(-newkey ec -pkeyopt ec_paramgen_curve:P-256) ;;
    ec:*) newkey=(-newkey ec -pkeyopt "ec_paramgen_curve:${kind#ec:}") ;;
    *)
      echo "make_self_signed_cert: unknown key kind $kind" >&2
      return 1
      ;;
  esac
  openssl req -x509 "${newkey[@]}" -nodes -sha256 -days 30 -subj "/CN=$cn" \
    -keyout "$prefix.key.pem" -out "$prefix.cert.pem" 2>/dev/null || return 1
  openssl x509 -in "$prefix.cert.pem" -outform DER -out "$prefix.cert.der" || return 1
  openssl pkey -in "$prefix.key.pem" -pubout -out "$prefix.pub.pem" || return 1
}

# Makes another self-signed certificate for an existing key:
#   make_cert_for_key KEY_PEM PREFIX SUBJECT_CN
# Writes PREFIX.cert.pem and PREFIX.cert.der.
make_cert_for_key() {
  local key=$1 prefix=$2 cn=$3
  openssl req -x509 -new -key "$key" -sha256 -days 30 -subj "/CN=$cn" \
    -out "$prefix.cert.pem" 2>/dev/null || return 1
  openssl x509 -in "$prefix.cert.pem" -outform DER -out "$prefix.cert.der"
}

# Puts a DER certificate on a token as a public object:
#   softhsm_import_cert TOKEN_LABEL USER_PIN CERT_DER ID_HEX OBJECT_LABEL [PKCS11_TOOL_OPTION...]
# (pkcs11-tool 0.23 ignores --private for certificates: they stay public.)
softhsm_import_cert() {
  token_import_cert "$SOFTHSM_MODULE" "$@"
}

# The same on a token of any module:
#   token_import_cert MODULE TOKEN_LABEL USER_PIN CERT_DER ID_HEX OBJECT_LABEL [PKCS11_TOOL_OPTION...]
token_import_cert() {
  local module=$1 token=$2 pin=$3 der=$4 id=$5 label=$6
  shift 6
  pkcs11-tool --module "$module" --token-label "$token" --login --pin "$pin" \
    --write-object "$der" --type cert --id "$id" --label "$label" "$@" >/dev/null 2>&1
}

# Puts a private key (RSA or EC) on a token, usable for signing:
#   softhsm_import_key TOKEN_LABEL USER_PIN KEY_PEM ID_HEX OBJECT_LABEL [PKCS11_TOOL_OPTION...]
# (--always-auth makes a key that wants the PIN again at every signature.)
softhsm_import_key() {
  token_import_key "$SOFTHSM_MODULE" "$@"
}

# The same on a token of any module:
#   token_import_key MODULE TOKEN_LABEL USER_PIN KEY_PEM ID_HEX OBJECT_LABEL [PKCS11_TOOL_OPTION...]
token_import_key() {
  local module=$1 token=$2 pin=$3 key=$4 id=$5 label=$6
  shift 6
  local der
  der=$(mktemp) || return 1
  # pkcs11-tool reads the key in DER form.
  if ! openssl pkey -in "$key" -outform DER -out "$der"; then
    rm -f "$der"
    return 1
  fi
  pkcs11-tool --module "$module" --token-label "$token" --login --pin "$pin" \
    --write-object "$der" --type privkey --id "$id" --label "$label" --usage-sign "$@" >/dev/null 2>&1
  local status=$?
  rm -f "$der"
  return $status
}

# Makes a key and its self-signed certificate (make_self_signed_cert) and puts
# both on a token under one CKA_ID and label:
#   softhsm_add_signer TOKEN_LABEL USER_PIN PREFIX SUBJECT_CN ID_HEX LABEL [KIND [PKCS11_TOOL_OPTION...]]
# The options go to the key's import (--always-auth, for one).
softhsm_add_signer() {
  local token=$1 pin=$2 prefix=$3 cn=$4 id=$5 label=$6 kind=${7:-rsa}
  shift $(($# < 7 ? $# : 7))
  make_self_signed_cert "$prefix" "$cn" "$kind" &&
    softhsm_import_key "$token" "$pin" "$prefix.key.pem" "$id" "$label" "$@" &&
    softhsm_import_cert "$token" "$pin" "$prefix.cert.der" "$id" "$label"
}

# Counts the certificate objects pkcs11-tool sees on a token without login:
#   softhsm_count_public_certs TOKEN_LABEL [MODULE]   (SoftHSM2 by default)
softhsm_count_public_certs() {
  pkcs11-tool --module "${2:-$SOFTHSM_MODULE}" --token-label "$1" --list-objects --type cert \
    2>/dev/null | grep -c '^Certificate Object'
}
