#!/usr/bin/env bash
# Runs the built helper under valgrind's memcheck:
#   - the SoftHSM2 end-to-end listing and signing (tests/e2e/listing_softhsm.sh
#     and signing_softhsm.sh), with a wrapper in place of the helper;
#   - a sample of the process tests against the mock module (the normal
#     signing run, the walk over tokens without the certificate, every
#     mechanism family with its fallback and context-specific login, every
#     contract break of the hostile-module matrix, and the modules that keep a
#     thread or leave signal handlers behind or bring OpenSSL of their own
#     beside the libcrypto the program opens), with valgrind as the
#     launcher of the program under test.
# Any memcheck error (invalid access, use of uninitialised memory, bad free)
# or definitely lost block fails the run: each process writes its report to a
# file of its own, and a report that is not empty is printed. valgrind also
# ends such a process with status 99, which the tests see as a failure.
#
# One suppression only, of the dynamic loader: SoftHSM2, OpenSSL and the C and
# C++ runtimes give no other report on Debian 12. A suppression belongs to a
# third-party library only and is explained where it is added.
#
# The step takes two to three minutes on a busy two-core machine.
#
# Usage: scripts/valgrind.sh [BUILD_DIR]   (default: build, from the repository root)
set -uo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.." || exit 1
build=$(cd "${1:-build}" && pwd) || exit 1
helper=$build/mirandel-pkcs11-helper
process_tests=$build/tests/process/process_tests

if ! command -v valgrind >/dev/null; then
  echo "valgrind is not installed" >&2
  exit 1
fi
for file in "$helper" "$process_tests"; do
  if [[ ! -x $file ]]; then
    echo "$file has not been built" >&2
    exit 1
  fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/reports"

# glibc 2.36's dynamic loader, expanding $ORIGIN in the run path of a module
# that the program loads (the mock that finds its own libcrypto.so.1.0.0
# beside it, as vendor modules do), compares with a strncmp that reads whole
# aligned words, past the end of its 8-byte copy of "$ORIGIN" but never past
# the word that holds it.
cat >"$work/ld.so.supp" <<'EOF'
{
   dynamic-loader-origin-word-read
   Memcheck:Addr8
   fun:strncmp
   fun:is_dst
}
EOF
# The launcher: memcheck around any command.
cat >"$work/memcheck" <<EOF
#!/bin/sh
exec valgrind --quiet --tool=memcheck --leak-check=full --show-leak-kinds=definite \\
  --errors-for-leak-kinds=definite --error-exitcode=99 --num-callers=40 \\
  --suppressions="$work/ld.so.supp" --log-file="$work/reports/memcheck.%p" "\$@"
EOF
# The helper as the end-to-end scripts call it.
cat >"$work/helper" <<EOF
#!/bin/sh
exec "$work/memcheck" "$helper" "\$@"
EOF
chmod +x "$work/memcheck" "$work/helper"

status=0
for script in tests/e2e/listing_softhsm.sh tests/e2e/signing_softhsm.sh; do
  echo "---- $script under memcheck"
  timeout 900 bash "$script" "$work/helper" "$PWD"
  result=$?
  if ((result != 0)); then
    # 77 means the script was skipped: memcheck did not run, which is a failure here.
    echo "$script failed (status $result)" >&2
    status=1
  fi
done

echo "---- process tests under memcheck"
sample='SigningRun.SignsWithTheKeyOfTheMatchingCertificate'
sample+=':SigningRun.TriesEveryOpenedTokenWhenNoneHoldsTheCertificate'
sample+=':SigningRun.NeverSendsThePinToATokenWithoutTheCertificate'
sample+=':ContractBreaks/HostileModule.*'
sample+=':Table/SigningMechanism.*'
sample+=':SigningRun.LeavesTheModulesOwnOpenSslAlone'
sample+=':Teardown.DeliversTheWholeDocumentFromAModuleWithAThreadOrSignalHandlers'
if ! MIRANDEL_TEST_LAUNCHER="$work/memcheck" timeout 900 "$process_tests" \
  --gtest_filter="$sample" --gtest_brief=1; then
  status=1
fi

runs=0
for report in "$work"/reports/memcheck.*; do
  [[ -e $report ]] || continue
  runs=$((runs + 1))
  if [[ -s $report ]]; then
    echo "---- memcheck report $(basename "$report")"
    cat "$report"
    status=1
  fi
done
echo "$runs processes ran under memcheck"
if ((runs == 0)); then
  status=1
fi
exit $status
