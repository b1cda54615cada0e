#!/usr/bin/env bash
# Checks the Debian package that scripts/package.sh makes: its control fields,
# its files, lintian (no error), and the program it installs, unpacked into a
# throwaway root with dpkg -x and run against a throwaway SoftHSM2 token:
# usage, listing, signing (the signature must verify) and a start-up failure.
# Every document is validated against docs/schemas/.
#
# Usage: deb_test.sh PACKAGE.deb REPO_ROOT
set -euo pipefail

here=$(dirname "${BASH_SOURCE[0]}")
deb=$(realpath "$1")
root=$(mktemp -d)
dpkg-deb -x "$deb" "$root"

source "$here/../../scripts/lib/e2e.sh"
source "$here/demo_token.sh"
e2e_init "$root/usr/bin/mirandel-pkcs11-helper" "${2:-}" --needs softhsm2-util pkcs11-tool \
  openssl lintian groff objdump dpkg-architecture "$SOFTHSM_MODULE"
trap 'rm -rf "$WORK" "$root"' EXIT

# ---- Control fields --------------------------------------------------------------
field() { dpkg-deb -f "$deb" "$1"; }
check_equal "package name" mirandel-pkcs11-helper "$(field Package)"
check_equal "version" 1.0.4 "$(field Version)"
check_equal "architecture" amd64 "$(field Architecture)"
check_equal "section and priority" "utils optional" "$(field Section) $(field Priority)"
check_true "maintainer is a name and an address" grep -qE '^[^<]+ <[^@ ]+@[^> ]+>$' \
  <<<"$(field Maintainer)"
check_equal "description summary" "lists and signs with PKCS#11 tokens for another program" \
  "$(field Description | head -n 1)"
check_true "the description names the licence" grep -q 'Apache License 2.0' <<<"$(field Description)"
# dpkg-shlibdeps computes versioned dependencies on the C and C++ runtimes;
# the one on libcrypto (libssl3), which computes the digests and which the
# program opens with dlopen, comes from the packaging's own look-up.
depends=$(field Depends)
for library in libc6 libgcc-s1 libstdc++6 libssl3; do
  check_true "depends on $library with a version" grep -qE "(^|, )${library//+/\\+} \(>= [0-9.]+\)" \
    <<<"$depends"
done

# Depends follows the program: the package of every library the installed
# program names (NEEDED) is among them, whatever the program links, and so is
# the package of libcrypto.so.3, which it opens with dlopen to hash.
# depends_on PACKAGE: one package name, found among Depends or their alternatives.
depends_on() {
  [[ $1 =~ ^[a-z0-9][a-z0-9+.-]+$ ]] && grep -qE "(^|[,|] *)${1//+/\\+}( |,|$)" <<<"$depends"
}
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
for library in $(objdump -p "$root/usr/bin/mirandel-pkcs11-helper" | awk '$1 == "NEEDED" { print $2 }') \
  libcrypto.so.3; do
  owner=$(dpkg-query -S "*/$multiarch/$library" 2>/dev/null | cut -d: -f1 | sort -u)
  check_true "the package of $library (${owner:-none found}) is among the dependencies" \
    depends_on "$owner"
done

# ---- Files ----------------------------------------------------------------------
check_equal "files of the package" "./usr/bin/mirandel-pkcs11-helper
./usr/share/doc/mirandel-pkcs11-helper/changelog.gz
./usr/share/doc/mirandel-pkcs11-helper/copyright
./usr/share/man/man1/mirandel-pkcs11-helper.1.gz" \
  "$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort)"
check_equal "every file is owned by root" "" \
  "$(dpkg-deb -c "$deb" | awk '$2 != "root/root"')"
check_true "the copyright file names the Apache licence" \
  grep -q '^License: Apache-2.0$' "$root/usr/share/doc/mirandel-pkcs11-helper/copyright"
check_equal "the man page is the one in docs/" "$(cat "$REPO/docs/mirandel-pkcs11-helper.1")" \
  "$(zcat "$root/usr/share/man/man1/mirandel-pkcs11-helper.1.gz")"
check_equal "the installed man page renders without warnings" "" \
  "$(zcat "$root/usr/share/man/man1/mirandel-pkcs11-helper.1.gz" | groff -man -ww -z 2>&1)"
check_equal "the program finds every library it needs" "" \
  "$(ldd "$HELPER" | grep 'not found' || true)"

# ---- lintian ----------------------------------------------------------------------
lintian_report=$(lintian --tag-display-limit 0 "$deb" 2>&1 | grep -v 'running with root privileges' ||
  true)
if [[ -n $lintian_report ]]; then
  printf 'lintian says:\n%s\n' "$lintian_report"
fi
check_equal "lintian reports no error" "" "$(grep '^E: ' <<<"$lintian_report" || true)"

# ---- The installed program ----------------------------------------------------------
run_helper
check_equal "usage: status and standard error" \
  "2 uso: mirandel-pkcs11-helper <modulo> [output.json] [sign <input.json>]" \
  "$RUN_STATUS $(cat "$WORK/stderr")"

make_demo_token "$WORK"
cert_hex=$(hex_of_file "$WORK/signer.cert.der")

run_helper "$SOFTHSM_MODULE"
check_document_on_stdout "listing"
check_equal "the listing holds the demo certificate" "$cert_hex" \
  "$(listing_der_hexes "$DOCUMENT")"

run_helper "$SOFTHSM_MODULE" "$WORK/listing.json"
check_equal "listing to a file: status and standard output" "0 " \
  "$RUN_STATUS $(cat "$WORK/stdout")"
check_equal "listing to a file: the same document, without a line feed" "$DOCUMENT" \
  "$(cat "$WORK/listing.json")"

printf '{"pin":"%s","cert_der_hex":"%s","data_hex":"%s","mechanism":"rsa_sha256"}' \
  "$DEMO_PIN" "$cert_hex" "$(hex_of_text "$DEMO_DATA")" >"$WORK/request.json"
set +e
"$HELPER" "$SOFTHSM_MODULE" "" sign - <"$WORK/request.json" >"$WORK/stdout" 2>"$WORK/stderr"
RUN_STATUS=$?
set -e
schema_keep_documents "$SOFTHSM_MODULE" "" sign -
check_document_on_stdout "signing with the request on standard input"
check_equal "signing: no error" null "$(document_member "$DOCUMENT" error)"
check_demo_signature "signing" "$(document_member "$DOCUMENT" signature)" "$WORK"

run_helper "$WORK/no-such-module.so"
check_document_on_stdout "a missing module"
check_equal "a missing module: the document" \
  '{"slots":[],"error":"Modulo PKCS#11 non caricabile: libloading error (LoadLibraryExW failed)"}' \
  "$DOCUMENT"

e2e_finish
