#!/usr/bin/env python3
"""Start-up figures: how long the helper takes to start and end when it does
little else, and what opening libcrypto on first use costs. Prints a Markdown
section on standard output.

Builds of the helper run in the same interleaved rounds (run_bench.py): this
one (libcrypto opened with dlopen when the first digest is needed), and when
given, an earlier one that links libcrypto and a build that links libcrypto
statically with its symbols hidden. Figures, all against the mock module
(no token, no daemon):
  - a listing with a module path that names nothing (loader, document);
  - a listing of one slot with one certificate;
  - signing 1 KiB with the token's hashing mechanism (no digest of ours);
  - signing 1 KiB through the helper's own digest (the first and only hash:
    this build opens libcrypto here).
The first-hash cost is the difference of the last two, per build. Where
`perf stat` works, it adds the CPU time and page faults of the first figure,
averaged over its own runs of each build (not interleaved).
"""

import argparse
import os
import shutil
import subprocess

from run_bench import interleaved

CERT_HEX = "3082010a02820101"


def perf_stat(argv, runs):
    """(task-clock ms, page faults) of argv averaged by `perf stat -r`, or None."""
    if not shutil.which("perf"):
        return None
    result = subprocess.run(["perf", "stat", "-r", str(runs), "-x,", "-e", "task-clock,page-faults",
                             "--"] + argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            text=True, check=False)
    values = {}
    for line in result.stderr.splitlines():
        fields = line.split(",")
        if len(fields) > 2 and fields[2] in ("task-clock", "page-faults"):
            try:
                values[fields[2]] = float(fields[0])
            except ValueError:
                return None
    if result.returncode != 0 or len(values) != 2:
        return None
    return values["task-clock"], values["page-faults"]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--helper", required=True)
    parser.add_argument("--previous", default="", help="an earlier build that links libcrypto")
    parser.add_argument("--static", default="",
                        help="a build with libcrypto linked statically, its symbols hidden")
    parser.add_argument("--mock", required=True, help="the mock PKCS#11 module")
    parser.add_argument("--work", required=True)
    parser.add_argument("--rounds", type=int, default=51)
    args = parser.parse_args()

    builds = {"this build (dlopen on first use)": args.helper}
    if args.previous:
        builds["earlier build (libcrypto linked)"] = args.previous
    if args.static:
        builds["static libcrypto, symbols hidden"] = args.static

    def scenario(name, mechanisms):
        path = os.path.join(args.work, name)
        with open(path, "w") as out:
            out.write(f"slot 1\nobject cert value={CERT_HEX} id=01\n"
                      f"object private_key id=01 sign=1 mechanisms={mechanisms}\n")
        return path

    on_token = scenario("startup-token-hashes.scenario", "0x40")
    raw_only = scenario("startup-raw-only.scenario", "0x1")
    request = os.path.join(args.work, "startup-request.json")
    with open(request, "w") as out:
        out.write(f'{{"pin":"1234","cert_der_hex":"{CERT_HEX}","data_hex":"{"ab" * 1024}",'
                  '"mechanism":"rsa_sha256"}')
    output = os.path.join(args.work, "startup-out.json")
    nothing = os.path.join(args.work, "no-such-module.so")

    figures = [
        ("listing, module path names nothing", [nothing], on_token),
        ("listing, the mock module (1 slot, 1 certificate)", [args.mock], on_token),
        ("signing 1 KiB, the token hashes", [args.mock, output, "sign", request], on_token),
        ("signing 1 KiB, the helper hashes (first digest)", [args.mock, output, "sign", request],
         raw_only),
    ]
    load_before = os.getloadavg()
    results = {}
    for figure, arguments, scenario_path in figures:
        env = dict(os.environ, MIRANDEL_MOCK_SCENARIO=scenario_path)
        programs = {build: {"argv": [path] + arguments, "env": env}
                    for build, path in builds.items()}
        results[figure] = interleaved(programs, args.rounds)

    load_after = os.getloadavg()
    perf = {build: perf_stat([path, nothing], args.rounds) for build, path in builds.items()}

    def ms(seconds):
        return f"{seconds * 1000:.2f} ms"

    print("## Start-up and libcrypto (information)")
    print()
    print(f"Medians of {args.rounds} interleaved rounds against the mock module; wall time, "
          "then user + system CPU time of the measured process (`bench/startup_bench.py`); "
          f"load average {load_before[0]:.2f} before, {load_after[0]:.2f} after.")
    print()
    print("| Figure | " + " | ".join(builds) + " |")
    print("|---|" + "---|" * len(builds))
    for figure, _, _ in figures:
        cells = [f"{ms(results[figure][b][0])} (CPU {ms(results[figure][b][3])})" for b in builds]
        print(f"| {figure} | " + " | ".join(cells) + " |")
    hashing = [f for f, _, _ in figures][2:]
    cells = [ms(results[hashing[1]][b][0] - results[hashing[0]][b][0]) for b in builds]
    print("| first digest: the second signing less the first (wall) | " + " | ".join(cells) + " |")
    if all(perf.values()):
        cells = [f"{perf[b][0]:.2f} ms, {perf[b][1]:.0f} page faults" for b in builds]
        print(f"| perf stat, listing with a module path that names nothing ({args.rounds} runs) | "
              + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
