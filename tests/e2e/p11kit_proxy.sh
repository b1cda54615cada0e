#!/usr/bin/env bash
# Lists certificates through p11-kit's proxy module with a SoftHSM2 token
# behind it, and checks that the token's certificates come through unchanged.
#
# p11-kit reads module configurations from system directories and, except for
# root, from the user's ~/.config/pkcs11/modules. The test points HOME and
# XDG_CONFIG_HOME at its temporary directory, blanks every system module
# there (a user file with an empty "module:" overrides the system file of the
# same name) and registers SoftHSM2 under a name of its own, so that a normal
# user sees only the throwaway token. p11-kit ignores user configuration for
# root; there the system's own SoftHSM2 registration (Debian's softhsm2
# package installs one) serves instead, and whatever other system modules
# show through the proxy is accounted for: it must not be SoftHSM2's and is
# reported. SoftHSM2 finds the throwaway token through SOFTHSM2_CONF either way.
#
# Usage: p11kit_proxy.sh HELPER REPO_ROOT
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/e2e.sh"
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/softhsm.sh"
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/hex.sh"
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/documents.sh"
proxy=/usr/lib/x86_64-linux-gnu/p11-kit-proxy.so
e2e_init "$@" --needs softhsm2-util pkcs11-tool openssl p11-kit "$SOFTHSM_MODULE" \
  "$proxy"

softhsm_setup "$WORK/softhsm"
pin=2468
softhsm_init_token "Mirandel proxy" "$pin"
make_self_signed_cert "$WORK/one" "Mirandel proxy 1" ec
make_self_signed_cert "$WORK/two" "Mirandel proxy 2" rsa
softhsm_import_cert "Mirandel proxy" "$pin" "$WORK/one.cert.der" 01 "proxy 1"
softhsm_import_cert "Mirandel proxy" "$pin" "$WORK/two.cert.der" 02 "proxy 2"

# The throwaway p11-kit configuration, for this script and its children only.
export HOME=$WORK/home XDG_CONFIG_HOME=$WORK/config
modules=$XDG_CONFIG_HOME/pkcs11/modules
mkdir -p "$HOME" "$modules"
for dir in /usr/share/p11-kit/modules /etc/pkcs11/modules /usr/local/share/p11-kit/modules; do
  for file in "$dir"/*.module; do
    [[ -e $file ]] || continue
    printf '# Hidden from this test.\nmodule:\n' >"$modules/$(basename "$file")"
  done
done
printf 'module: %s\n' "$SOFTHSM_MODULE" >"$modules/mirandel-e2e-softhsm.module"

# p11-kit must have SoftHSM2 registered exactly once: under our name for a
# normal user, under the system's name for root.
registrations=$(p11-kit list-modules 2>/dev/null | grep -E '^[^ ].*: ' || true)
check_equal "p11-kit has SoftHSM2 registered once" 1 \
  "$(grep -cF ": $SOFTHSM_MODULE" <<<"$registrations" || true)"
if ((EUID != 0)); then
  check_equal "p11-kit sees only the throwaway module" \
    "mirandel-e2e-softhsm: $SOFTHSM_MODULE" "$registrations"
fi

# The listing straight from SoftHSM2, for comparison.
run_helper "$SOFTHSM_MODULE"
check_document_on_stdout "listing from SoftHSM2"
mapfile -t direct_slots < <(listing_slots "$DOCUMENT")

run_helper "$proxy"
check_document_on_stdout "listing through the proxy"
mapfile -t slots < <(listing_slots "$DOCUMENT")

found=0
softhsm_slots=()
for entry in "${slots[@]}"; do
  IFS=$'\t' read -r description label certs <<<"$entry"
  case $description in
    '"SoftHSM slot ID 0x'*'"') softhsm_slots+=("$entry") ;;
    *)
      if ((EUID != 0)); then
        fail "a slot of another module came through the proxy" "$entry"
      else
        echo "note: a system module's slot came through the proxy: ${entry:0:120}"
      fi
      ;;
  esac
  if [[ $label == '"Mirandel proxy"' ]]; then
    found=$((found + 1))
    listed=$(tr ' ' '\n' <<<"$certs" | sort)
    wanted=$(printf '%s\n' "$(hex_of_file "$WORK/one.cert.der")" \
      "$(hex_of_file "$WORK/two.cert.der")" | sort)
    check_equal "the token's certificates appear through the proxy" "$wanted" "$listed"
  fi
done
check_equal "the throwaway token appears once through the proxy" 1 "$found"
# The proxy hands slot and token information through unchanged: SoftHSM2's
# entries are the ones it gives directly, in the same order.
check_equal "SoftHSM2's entries through the proxy equal its own listing" \
  "$(printf '%s\n' "${direct_slots[@]}")" "$(printf '%s\n' "${softhsm_slots[@]}")"

e2e_finish
