#!/usr/bin/env bash
# The Windows build's request path under Wine, as information: a 128 MiB
# request (64 MiB of data) read from a file, checked and released, with a
# module path that names nothing, beside the same run on a tiny request (what
# starting the program under Wine costs). Medians of 5 interleaved runs.
# Prints a Markdown fragment. Usage: bench/wine_request_path.sh EXE WORKDIR
set -euo pipefail
exe=$1
work=$2
export WINEPREFIX=$work/wine-prefix WINEDEBUG=-all
# A fresh prefix keeps Wine busy for a while after wineboot returns: wait
# until everything it started has ended, then keep one wineserver up between
# runs, so that no run pays for starting it.
wineboot --init >/dev/null 2>&1 || true
wineserver -w >/dev/null 2>&1 || true
wineserver -p >/dev/null 2>&1 || true
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
python3 - "$exe" "$work" <<'PY'
import os, statistics, subprocess, sys, time
exe, work = sys.argv[1], sys.argv[2]
MiB = 1024 * 1024
big = os.path.join(work, "wine-request.json")
small = os.path.join(work, "wine-small.json")
with open(big, "w") as out:
    out.write('{"pin":"1234","cert_der_hex":"","data_hex":"')
    for _ in range(8):
        out.write(os.urandom(8 * MiB).hex())
    out.write('","mechanism":"rsa_sha256"}')
with open(small, "w") as out:
    out.write('{"pin":"1234","cert_der_hex":"","data_hex":"00","mechanism":"rsa_sha256"}')
def run(request):
    start = time.perf_counter()
    done = subprocess.run(["wine", exe, "Z:\\no-such-module.dll", "", "sign", request],
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    elapsed = time.perf_counter() - start
    if b"non caricabile" not in done.stdout:
        raise SystemExit("unexpected answer under Wine: " + done.stdout.decode(errors="replace"))
    return elapsed
runs = {"big": [], "small": []}
for _ in range(2):
    run(small)  # warms up Wine
for _ in range(5):
    runs["big"].append(run(big))
    runs["small"].append(run(small))
size = os.path.getsize(big)
b, s = statistics.median(runs["big"]), statistics.median(runs["small"])
print(f"Request path of `mirandel-pkcs11-helper.exe` under Wine 8 (medians of 5 interleaved runs):\n")
print("| Run | Wall |")
print("|---|---|")
print(f"| {size / MiB:.0f} MiB request, module path names nothing | {b * 1000:.0f} ms |")
print(f"| tiny request, the same (starting under Wine) | {s * 1000:.0f} ms |")
print(f"\nRequest bytes per second, start-up included: {size / b / 1024**3:.2f} GiB/s.")
if b > s * 1.05:
    print(f"With the tiny run's time taken off: {size / (b - s) / 1024**3:.2f} GiB/s.")
else:
    print("The difference from the tiny run is within the noise of starting under Wine.")
os.remove(big)
PY
