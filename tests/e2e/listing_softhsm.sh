#!/usr/bin/env bash
# Lists certificates from SoftHSM2 tokens made for this test and compares the
# document with what was imported and with what pkcs11-tool reports:
# - "Mirandel many": 12 certificates (more than one search batch of 10), one
#   of them imported twice with the same value;
# - "Mirandel second": two certificates, one with an RSA key;
# - "Mirandel vuoto è": no certificate at all, and a label that must come
#   out as raw UTF-8;
# - the free, uninitialised slot SoftHSM2 always keeps.
#
# Usage: listing_softhsm.sh HELPER REPO_ROOT
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/e2e.sh"
e2e_init "$@" --needs softhsm2-util pkcs11-tool openssl "$SOFTHSM_MODULE"

softhsm_setup "$WORK/softhsm"
pin=4321
declare -A expected # token label -> its der_hex values, one per line

# Adds a certificate's hex to the token's expected list.
expect_cert() {
  expected[$1]+="$(hex_of_file "$2")"$'\n'
}

softhsm_init_token "Mirandel many" "$pin"
make_self_signed_cert "$WORK/many" "Mirandel many 1" ec
for i in $(seq 1 12); do
  if ((i > 1)); then
    make_cert_for_key "$WORK/many.key.pem" "$WORK/many$i" "Mirandel many $i"
  else
    cp "$WORK/many.cert.der" "$WORK/many1.cert.der"
  fi
  softhsm_import_cert "Mirandel many" "$pin" "$WORK/many$i.cert.der" "$(printf '%02x' "$i")" "many $i"
  expect_cert "Mirandel many" "$WORK/many$i.cert.der"
done
# Same value as certificate 5 under another CKA_ID: both objects are listed.
softhsm_import_cert "Mirandel many" "$pin" "$WORK/many5.cert.der" 55 "many 5 again"
expect_cert "Mirandel many" "$WORK/many5.cert.der"

softhsm_init_token "Mirandel second" "$pin"
make_self_signed_cert "$WORK/second1" "Mirandel second 1" rsa
make_self_signed_cert "$WORK/second2" "Mirandel second 2" ec
softhsm_import_key "Mirandel second" "$pin" "$WORK/second1.key.pem" 01 "second key"
softhsm_import_cert "Mirandel second" "$pin" "$WORK/second1.cert.der" 01 "second 1"
softhsm_import_cert "Mirandel second" "$pin" "$WORK/second2.cert.der" 02 "second 2"
expect_cert "Mirandel second" "$WORK/second1.cert.der"
expect_cert "Mirandel second" "$WORK/second2.cert.der"

softhsm_init_token "Mirandel vuoto è" "$pin"

# pkcs11-tool's view of the slots, in the module's order: DESCRIPTION<TAB>LABEL,
# with an empty label for an uninitialised token.
mapfile -t tool_slots < <(pkcs11-tool --module "$SOFTHSM_MODULE" --list-slots 2>/dev/null | awk '
  function flush() { if (have) print desc "\t" label; have = 0 }
  /^Slot [0-9]+ \(0x[0-9a-f]+\): / { flush(); desc = $0; sub(/^Slot [0-9]+ \(0x[0-9a-f]+\): /, "", desc); label = ""; have = 1; next }
  /^  token label +: / { label = $0; sub(/^  token label +: /, "", label) }
  END { flush() }')
check_equal "pkcs11-tool sees three tokens and the free slot" 4 "${#tool_slots[@]}"
check_equal "pkcs11-tool sees the public certificates of \"Mirandel many\"" 13 \
  "$(softhsm_count_public_certs "Mirandel many")"

# Listing on standard output.
run_helper "$SOFTHSM_MODULE"
check_document_on_stdout "listing on standard output"
listing=$DOCUMENT
mapfile -t slots < <(listing_slots "$listing")
check_equal "one slot entry per slot with a token" "${#tool_slots[@]}" "${#slots[@]}"

for ((i = 0; i < ${#slots[@]} && i < ${#tool_slots[@]}; i++)); do
  IFS=$'\t' read -r description label certs <<<"${slots[i]}"
  IFS=$'\t' read -r tool_description tool_label <<<"${tool_slots[i]}"
  check_equal "slot $i: description as SoftHSM2 reports it" "\"$tool_description\"" "$description"
  if [[ -z $tool_label ]]; then
    # The free slot's token is uninitialised: its label is blank, hence null,
    # and it holds no objects.
    check_equal "slot $i: uninitialised token has a null label" null "$label"
    check_equal "slot $i: uninitialised token lists no certificates" "" "$certs"
    continue
  fi
  check_equal "slot $i: token label" "\"$tool_label\"" "$label"
  # SoftHSM2 does not promise to return objects in import order, so the
  # certificates are compared as sorted lists; duplicates count.
  listed=$(tr ' ' '\n' <<<"$certs" | sed '/^$/d' | sort)
  wanted=$(printf '%s' "${expected[$tool_label]:-}" | sed '/^$/d' | sort)
  check_equal "slot $i ($tool_label): listed certificates are the imported ones" "$wanted" "$listed"
  count=$(sed '/^$/d' <<<"$listed" | wc -l)
  check_equal "slot $i ($tool_label): as many certificates as pkcs11-tool lists" \
    "$(softhsm_count_public_certs "$tool_label")" "$count"
done

# The same listing into a file: the document without a line feed, nothing on
# standard output.
run_helper "$SOFTHSM_MODULE" "$WORK/out.json"
check_equal "listing to a file: exit status" 0 "$RUN_STATUS"
check_equal "listing to a file: standard output" "" "$(od -An -c "$WORK/stdout")"
# $(...) drops trailing line feeds, so the x above keeps any the file has.
listing_x="${listing}x"
check_equal "listing to a file: exact bytes" "$listing_x" "$(cat "$WORK/out.json"; printf x)"

e2e_finish
