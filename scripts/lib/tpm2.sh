# shellcheck shell=bash
# shellcheck disable=SC2034  # TPM2_MODULE and TPM2_SWTPM_PID are for the scripts that source this file
# A throwaway software TPM with a tpm2-pkcs11 token, for the end-to-end
# tests. Needs matrix.sh (daemon_start, wait_until, free_port_pair).
#
#   tpm2_start DIR          swtpm on 127.0.0.1, a private D-Bus session bus
#                           (Unix socket in DIR) and tpm2-abrmd on it; points
#                           tpm2-tools and the module at them
#   tpm2_make_token LABEL USER_PIN
#   tpm2_generate_key LABEL USER_PIN ID PREFIX SUBJECT_CN [ALGORITHM [ADDKEY_OPTION...]]
#   tpm2_import_key LABEL USER_PIN ID KEY_PEM CERT_PEM
#   tpm2_lockout_counter    prints TPM2_PT_LOCKOUT_COUNTER
#
# Setting up a token goes through tpm2-abrmd: without a resource manager,
# tpm2-tools leave object contexts loaded and tpm2_ptool runs out of them.

TPM2_MODULE=/usr/lib/x86_64-linux-gnu/pkcs11/libtpm2_pkcs11.so
TPM2_SO_PIN=${TPM2_SO_PIN:-87654321}

tpm2_start() {
  local dir=$1 port attempt
  mkdir -p "$dir/state" "$dir/store" || return 1
  # swtpm on a free pair of loopback ports (server and control); another
  # process may take a port between the check and the bind, so retry.
  for attempt in 1 2 3 4 5; do
    port=$(free_port_pair) || return 1
    daemon_start swtpm "$dir/swtpm.log" swtpm socket --tpm2 \
      --server "type=tcp,port=$port,bindaddr=127.0.0.1" \
      --ctrl "type=tcp,port=$((port + 1)),bindaddr=127.0.0.1" \
      --flags not-need-init,startup-clear --tpmstate "dir=$dir/state"
    TPM2_SWTPM_PID=$DAEMON_PID
    if wait_until 10 port_in_use "$port"; then
      break
    fi
    daemon_stop "$TPM2_SWTPM_PID"
    port=
  done
  if [[ -z $port ]]; then
    echo "swtpm did not start:" >&2
    cat "$dir/swtpm.log" >&2
    return 1
  fi
  TPM2_SWTPM_PORT=$port

  daemon_start dbus-daemon "$dir/dbus.log" dbus-daemon --session --nofork --nopidfile \
    --address="unix:path=$dir/bus"
  wait_until 10 test -S "$dir/bus" || {
    echo "dbus-daemon did not start:" >&2
    cat "$dir/dbus.log" >&2
    return 1
  }
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/bus"
  daemon_start tpm2-abrmd "$dir/abrmd.log" tpm2-abrmd --session --allow-root \
    --tcti="swtpm:host=127.0.0.1,port=$port"
  export TPM2TOOLS_TCTI=tabrmd:bus_type=session TPM2_PKCS11_TCTI=tabrmd:bus_type=session
  export TPM2_PKCS11_STORE=$dir/store
  wait_until 20 tpm2_getcap properties-fixed || {
    echo "tpm2-abrmd does not answer:" >&2
    cat "$dir/abrmd.log" >&2
    return 1
  }
}

# Creates the store's primary object and a token on it.
tpm2_make_token() {
  local label=$1 pin=$2
  tpm2_ptool init >/dev/null &&
    tpm2_ptool addtoken --pid=1 --label="$label" --userpin="$pin" --sopin="$TPM2_SO_PIN" >/dev/null
}

# Generates a key inside the TPM (RSA-2048 unless tpm2_ptool's ALGORITHM
# names another, such as ecc256) and certifies it with a throwaway CA:
#   tpm2_generate_key LABEL USER_PIN ID PREFIX SUBJECT_CN [ALGORITHM [ADDKEY_OPTION...]]
# Writes PREFIX.pub.pem, PREFIX.cert.pem and PREFIX.cert.der, and puts the
# certificate on the token. tpm2_ptool stores the id's text as given, so ID
# "01" becomes the CKA_ID bytes 30 31.
tpm2_generate_key() {
  local label=$1 pin=$2 id=$3 prefix=$4 cn=$5 algorithm=${6:-rsa2048}
  shift $(($# < 6 ? $# : 6))
  tpm2_ptool addkey --label="$label" --userpin="$pin" --algorithm="$algorithm" --id="$id" \
    --key-label="$cn" "$@" >/dev/null || return 1
  pkcs11-tool --module "$TPM2_MODULE" --token-label "$label" --read-object --type pubkey \
    --id "$(printf '%s' "$id" | od -An -tx1 | tr -d ' \n')" -o "$prefix.pub.der" >/dev/null 2>&1 ||
    return 1
  openssl pkey -pubin -inform DER -in "$prefix.pub.der" -out "$prefix.pub.pem" || return 1
  openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 30 -subj "/CN=$cn CA" \
    -keyout "$prefix.ca.key.pem" -out "$prefix.ca.cert.pem" 2>/dev/null || return 1
  openssl x509 -new -force_pubkey "$prefix.pub.pem" -subj "/CN=$cn" -days 30 -sha256 \
    -CA "$prefix.ca.cert.pem" -CAkey "$prefix.ca.key.pem" -out "$prefix.cert.pem" 2>/dev/null ||
    return 1
  openssl x509 -in "$prefix.cert.pem" -outform DER -out "$prefix.cert.der" || return 1
  tpm2_ptool addcert --label="$label" --key-label="$cn" "$prefix.cert.pem" >/dev/null
}

# Imports an existing RSA key and its certificate:
#   tpm2_import_key LABEL USER_PIN ID KEY_PEM CERT_PEM KEY_LABEL
tpm2_import_key() {
  local label=$1 pin=$2 id=$3 key=$4 cert=$5 key_label=$6
  tpm2_ptool import --label="$label" --userpin="$pin" --privkey="$key" --algorithm=rsa \
    --id="$id" --key-label="$key_label" >/dev/null || return 1
  tpm2_ptool addcert --label="$label" --key-label="$key_label" "$cert" >/dev/null
}

# Prints the TPM's dictionary-attack failure counter.
tpm2_lockout_counter() {
  tpm2_getcap properties-variable | awk '/^TPM2_PT_LOCKOUT_COUNTER:/ { print $2 }'
}
