#!/usr/bin/env bash
# Certificate stores as PKCS#11 modules: p11-kit-trust (the system CA store)
# and NSS's builtin roots (libnssckbi.so). Each listing must hold, certificate
# for certificate, what the store exports itself: `trust extract` through
# p11-kit with only that module registered, and for p11-kit-trust also the
# PEM file its slot is named after. Slots and labels are compared with
# pkcs11-tool's and p11tool's view.
#
# Usage: module_stores.sh HELPER REPO_ROOT
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/e2e.sh"
trust_module=/usr/lib/x86_64-linux-gnu/pkcs11/p11-kit-trust.so
roots_module=/usr/lib/x86_64-linux-gnu/libnssckbi.so
system_bundle=/etc/ssl/certs/ca-certificates.crt
matrix_init "$@" --requires "p11-kit-modules:$trust_module" "libnss3:$roots_module" \
  p11-kit:trust opensc:pkcs11-tool gnutls-bin:p11tool "ca-certificates:$system_bundle"
log_versions p11-kit-modules libnss3 ca-certificates

# check_store NAME MODULE MINIMUM: the listing against the store's own export.
check_store() {
  local name=$1 module=$2 minimum=$3 listed exported count
  run_helper "$module"
  check_document_on_stdout "$name: listing"
  STORE_DOCUMENT=$DOCUMENT
  mapfile -t slots < <(listing_slots "$DOCUMENT" | cut -f1,2)
  mapfile -t tool_slots < <(independent_slots "$module")
  check_equal "$name: slots, descriptions and labels as pkcs11-tool and p11tool see them" \
    "$(printf '%s\n' "${tool_slots[@]}")" "$(printf '%s\n' "${slots[@]}")"

  listed=$(listing_sorted_hexes "$DOCUMENT")
  count=$(grep -c . <<<"$listed" || true)
  check_true "$name: at least $minimum certificates listed (got $count)" test "$count" -ge "$minimum"
  check_equal "$name: as many certificates as p11tool lists" \
    "$(p11tool --provider "$module" --list-all-certs 2>/dev/null | grep -c '^Object ')" "$count"

  p11kit_register "store:$module:trust-policy=yes"
  rm -f "$WORK/export.pem"
  trust extract --format=pem-bundle --filter=certificates "$WORK/export.pem"
  exported=$(pem_bundle_hexes "$WORK/export.pem" | sort)
  check_equal "$name: the listing equals the store's own export, certificate for certificate" \
    "$exported" "$listed"
}

check_store p11-kit-trust "$trust_module" 140
check_equal "p11-kit-trust: one slot, named after the system bundle" \
  "\"$system_bundle\"" "$(listing_slots "$STORE_DOCUMENT" | cut -f1)"
check_equal "p11-kit-trust: the listing equals the system bundle's certificates" \
  "$(pem_bundle_hexes "$system_bundle" | sort)" "$(listing_sorted_hexes "$STORE_DOCUMENT")"

check_store "NSS builtin roots" "$roots_module" 140
check_equal "NSS builtin roots: the slot and its label" \
  $'"NSS Builtin Objects"\t"Builtin Object Token"' \
  "$(listing_slots "$STORE_DOCUMENT" | cut -f1,2)"

e2e_finish
