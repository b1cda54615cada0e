#!/usr/bin/env bash
# Checks the Windows .zip that scripts/package.sh makes: it holds one folder
# with the x64 program, README.md and LICENSE, and the x86 program in x86/;
# unpacked, each program runs under Wine: the usage line, a start-up failure,
# a listing through the mock PKCS#11 DLL of its own build (build-win/ or
# build-win-x86/, when it has been built) and a refused request. Every
# document is validated against docs/schemas/.
#
# Usage: zip_test.sh PACKAGE.zip REPO_ROOT
set -euo pipefail

here=$(dirname "${BASH_SOURCE[0]}")
zip=$(realpath "$1")
repo=$(realpath "${2:-$here/../..}")
unpacked=$(mktemp -d)
folder=mirandel-pkcs11-helper-1.0.4-win64
python3 -m zipfile -e "$zip" "$unpacked"
chmod +x "$unpacked/$folder/mirandel-pkcs11-helper.exe" "$unpacked/$folder/x86/mirandel-pkcs11-helper.exe" \
  2>/dev/null || true

source "$here/../../scripts/lib/e2e.sh"
e2e_init "$unpacked/$folder/mirandel-pkcs11-helper.exe" "$repo" --needs wine wineserver file
trap 'rm -rf "$WORK" "$unpacked"' EXIT

check_equal "files of the zip" "$folder/LICENSE
$folder/README.md
$folder/mirandel-pkcs11-helper.exe
$folder/x86/mirandel-pkcs11-helper.exe" \
  "$(python3 -c 'import sys, zipfile; print("\n".join(sorted(n for n in zipfile.ZipFile(sys.argv[1]).namelist() if not n.endswith("/"))))' "$zip")"
check_true "the licence is the project's" cmp -s "$unpacked/$folder/LICENSE" "$REPO/LICENSE"
check_true "the README is the project's" cmp -s "$unpacked/$folder/README.md" "$REPO/README.md"
check_true "the program is a 64-bit Windows console program" \
  grep -q 'PE32+ executable (console) x86-64' <<<"$(file -b "$HELPER")"
check_true "the x86 program is a 32-bit Windows console program" \
  grep -q '^PE32 executable (console) Intel 80386' \
  <<<"$(file -b "$unpacked/$folder/x86/mirandel-pkcs11-helper.exe")"

# ---- Under Wine --------------------------------------------------------------------
# The prefix of scripts/test_windows.sh when it exists (one user at a time),
# otherwise a new one here.
if [[ -d $REPO/build-win/wine-prefix ]]; then
  export WINEPREFIX=$REPO/build-win/wine-prefix
  exec 9>"$REPO/build-win/test_windows.lock"
  flock -w 3600 9
else
  export WINEPREFIX=$WORK/wine-prefix
fi
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=" # no Mono or Gecko installer dialogs
# The Wine server and the services it starts outlive this script unless they
# are stopped, and they inherit the lock on build-win/: left running, they
# would hold off the next scripts/test_windows.sh for an hour.
trap 'wineserver -k 2>/dev/null || true; rm -rf "$WORK" "$unpacked"' EXIT
wineserver -p 60 2>/dev/null || true
timeout 600 wineboot -i >"$WORK/wineboot.log" 2>&1 ||
  fail "Wine starts" "$(tail -n 5 "$WORK/wineboot.log")"

# Unix path -> the path Wine's programs see.
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# run_exe ARGS... [< INPUT]: like run_helper, through Wine.
run_exe() {
  set +e
  timeout 300 wine "$HELPER" "$@" >"$WORK/stdout" 2>"$WORK/stderr"
  RUN_STATUS=$?
  set -e
  schema_keep_documents "$@"
}

# Each program with the mock DLL of its own build.
for arch in x64 x86; do
  HELPER=$unpacked/$folder/mirandel-pkcs11-helper.exe build=build-win
  if [[ $arch == x86 ]]; then
    HELPER=$unpacked/$folder/x86/mirandel-pkcs11-helper.exe build=build-win-x86
  fi
  run_exe
  check_equal "$arch: usage: status and standard error" \
    "2 uso: mirandel-pkcs11-helper <modulo> [output.json] [sign <input.json>]" \
    "$RUN_STATUS $(cat "$WORK/stderr")"

  run_exe "$(winpath "$WORK/no-such-module.dll")"
  check_document_on_stdout "$arch: a missing module"
  check_equal "$arch: a missing module: the document" \
    '{"slots":[],"error":"Modulo PKCS#11 non caricabile: libloading error (LoadLibraryExW failed)"}' \
    "$DOCUMENT"

  printf '["1234","00","zz","rsa_sha256"]' >"$WORK/request.json"
  run_exe "$(winpath "$WORK/no-such-module.dll")" "" sign - <"$WORK/request.json"
  check_document_on_stdout "$arch: a request with bad hexadecimal on standard input"
  check_equal "$arch: a request with bad hexadecimal: the document" \
    '{"signature":null,"error":"Input di firma non valido."}' "$DOCUMENT"

  mock=$REPO/$build/tests/mock/mirandel_mock_fl.dll
  if [[ -f $mock ]]; then
    printf 'slot 1\ndescription text:Lettore \xc3\xa8\nlabel text:Citt\xc3\xa0\nobject cert value=3082aa\n' \
      >"$WORK/scenario.txt"
    export MIRANDEL_MOCK_SCENARIO
    MIRANDEL_MOCK_SCENARIO=$(winpath "$WORK/scenario.txt")
    run_exe "$(winpath "$mock")" "$(winpath "$WORK/listing.json")"
    check_equal "$arch: listing through the mock DLL to a file: status and standard output" "0 " \
      "$RUN_STATUS $(cat "$WORK/stdout")"
    check_equal "$arch: listing through the mock DLL: the document" \
      '{"slots":[{"description":"Lettore è","token_label":"Città","certs":[{"der_hex":"3082aa"}]}],"error":null}' \
      "$(cat "$WORK/listing.json" 2>/dev/null)"
    check_equal "$arch: listing through the mock DLL: the file validates against the schema" "" \
      "$(validate_documents listing "$WORK/listing.json" 2>&1)"
  else
    echo "($mock is not built: no listing through the mock)"
  fi
done

e2e_finish
