#!/usr/bin/env bash
# Benchmarks: the helper beside a bare PKCS#11 client (the floor) and
# pkcs11-tool, on throwaway SoftHSM2 tokens, for listing, signing 1 KiB to
# 64 MiB and a 1 GiB request (with what the check of each signature against
# the certificate costs at each size), signing 64 MiB through the helper's own hashing
# (ECDSA on SoftHSM2, RSA on the mock module), and the request path alone
# from a file and a pipe; then the request reader on deeply nested input. Writes
# docs/BENCHMARKS.md and prints it. Figures, not tests: they depend on the
# machine and on its load.
#
# Usage: scripts/bench.sh [--quick]   (--quick: 3 rounds, no 1 GiB request)
#        MIRANDEL_BENCH_PREVIOUS=EXECUTABLE scripts/bench.sh ...   (an earlier
#        build of the helper runs beside this one in the listing and signing
#        groups, to show whether a change moved their figures)
#        scripts/bench.sh --deep-nesting [DEPTH...]   (only the nesting figures)
#        scripts/bench.sh --startup   (only the start-up figures, on the mock
#        module; MIRANDEL_BENCH_PREVIOUS as above, MIRANDEL_BENCH_STATIC=EXECUTABLE
#        a build with libcrypto linked statically, symbols hidden, beside them)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/lib/packages.sh
source scripts/lib/softhsm.sh

BUILD=build-bench
rounds=5
big_rounds=3
huge=$((512 * 1024 * 1024))
if [[ ${1:-} == --quick ]]; then
  rounds=3
  huge=0
fi

ensure_packages "${MIRANDEL_BASE_PACKAGES[@]}" "${MIRANDEL_BENCH_PACKAGES[@]}"
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMIRANDEL_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j2 --target mirandel-pkcs11-helper pkcs11_floor_client \
  pkcs11_floor_client_hashing json_depth_bench verify_bench mirandel_mock_fl >/dev/null

deep_nesting() {
  local depth
  for depth in "$@"; do
    "$BUILD/bench/json_depth_bench" "$depth"
  done
}

startup() {
  python3 bench/startup_bench.py --helper "$BUILD/mirandel-pkcs11-helper" \
    --previous "${MIRANDEL_BENCH_PREVIOUS:-}" --static "${MIRANDEL_BENCH_STATIC:-}" \
    --mock "$BUILD/bench/mock/mirandel_mock_fl.so" --work "$1"
}

if [[ ${1:-} == --startup ]]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  startup "$work"
  exit 0
fi

if [[ ${1:-} == --deep-nesting ]]; then
  shift
  (($#)) || set -- 1000000 10000000 100000000
  deep_nesting "$@"
  exit 0
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
PIN=1234

# The signing token: one RSA key and its certificate.
softhsm_setup "$work/sign"
sign_conf=$SOFTHSM2_CONF
softhsm_init_token "Firma" "$PIN"
make_self_signed_cert "$work/signer" "Firmatario"
softhsm_import_key "Firma" "$PIN" "$work/signer.key.pem" 01 "chiave"
softhsm_import_cert "Firma" "$PIN" "$work/signer.cert.der" 01 "certificato"
# An EC P-256 key: SoftHSM2 signs it only with raw CKM_ECDSA.
make_self_signed_cert "$work/ec" "Firmatario EC" ec
softhsm_import_key "Firma" "$PIN" "$work/ec.key.pem" 02 "chiave EC"
softhsm_import_cert "Firma" "$PIN" "$work/ec.cert.der" 02 "certificato EC"
# The mock module with the signer's certificate and a key that takes only
# CKM_RSA_PKCS, so that rsa_sha256 goes through the helper's own hashing.
cat >"$work/mock.scenario" <<SCENARIO
slot 1
pin text:$PIN
object cert value=$(od -An -v -tx1 "$work/signer.cert.der" | tr -d ' \n') id=01
object private_key private id=01 sign=1 mechanisms=0x1
SCENARIO

# The listing: a token of 150 certificates and two small tokens.
echo "Making the listing tokens (150 certificates)..." >&2
softhsm_setup "$work/list"
list_conf=$SOFTHSM2_CONF
softhsm_init_token "Archivio" "$PIN"
softhsm_init_token "Piccolo A" "$PIN"
softhsm_init_token "Piccolo B" "$PIN"
make_self_signed_cert "$work/list" "Elenco" ec
for i in $(seq 1 150); do
  make_cert_for_key "$work/list.key.pem" "$work/list-$i" "Certificato $i"
  softhsm_import_cert "Archivio" "$PIN" "$work/list-$i.cert.der" "$(printf '%04x' "$i")" "c$i"
done
softhsm_import_cert "Piccolo A" "$PIN" "$work/signer.cert.der" 01 "uno"
softhsm_import_cert "Piccolo B" "$PIN" "$work/list-1.cert.der" 01 "uno"

echo "Deep nesting..." >&2
deep_nesting 1000000 10000000 100000000 | tee "$work/deep-nesting.txt" >&2

# The Windows build's request path under Wine, as information, when it is built.
wine_figure=$work/wine.txt
if [[ -x build-win/mirandel-pkcs11-helper.exe ]] && command -v wine >/dev/null; then
  echo "Request path under Wine..." >&2
  bash bench/wine_request_path.sh build-win/mirandel-pkcs11-helper.exe "$work" >"$wine_figure" ||
    rm -f "$wine_figure"
fi

echo "Start-up..." >&2
startup "$work" | tee "$work/startup.txt" >&2

echo "Running the benchmarks..." >&2
mkdir -p docs
python3 bench/run_bench.py --helper "$BUILD/mirandel-pkcs11-helper" \
  --floor "$BUILD/bench/pkcs11_floor_client" \
  --floor-hashing "$BUILD/bench/pkcs11_floor_client_hashing" --module "$SOFTHSM_MODULE" \
  --list-conf "$list_conf" --sign-conf "$sign_conf" --pin "$PIN" --key-id 01 \
  --cert "$work/signer.cert.der" --work "$work" --rounds "$rounds" --big-rounds "$big_rounds" \
  --huge "$huge" --deep-nesting "$work/deep-nesting.txt" --wine "$wine_figure" \
  --startup "$work/startup.txt" \
  --previous "${MIRANDEL_BENCH_PREVIOUS:-}" --ec-cert "$work/ec.cert.der" --ec-pub "$work/ec.pub.pem" \
  --mock "$BUILD/bench/mock/mirandel_mock_fl.so" --mock-scenario "$work/mock.scenario" \
  --verify-bench "$BUILD/bench/verify_bench" --signer-key "$work/signer.key.pem" \
  >"$work/BENCHMARKS.md"
cp "$work/BENCHMARKS.md" docs/BENCHMARKS.md
cat docs/BENCHMARKS.md
