#!/usr/bin/env python3
"""Runs the benchmarks and prints docs/BENCHMARKS.md on standard output.

Called by scripts/bench.sh, which builds the programs and makes the SoftHSM2
tokens. Every figure is the median of interleaved runs: in each round every
program of a group runs once, in turn, so that a busy moment of the machine
hits all of them alike. Wall time comes from the parent's clock, peak resident
memory from wait4's rusage of the measured process alone.
"""

import argparse
import datetime
import os
import platform
import statistics
import subprocess
import time

MiB = 1024 * 1024
GiB = 1024 * MiB


def run_once(argv, env=None, stdin_path=None, pipe_from=None, capture=True):
    """Runs argv once; returns (seconds, peak KiB, stdout bytes, CPU seconds).
    Without `capture`, standard output goes to /dev/null."""
    feeder = None
    stdin = subprocess.DEVNULL
    if stdin_path is not None:
        stdin = open(stdin_path, "rb")
    if pipe_from is not None:
        feeder = subprocess.Popen(pipe_from, stdout=subprocess.PIPE)
        stdin = feeder.stdout
    start = time.perf_counter()
    process = subprocess.Popen(argv, stdin=stdin,
                               stdout=subprocess.PIPE if capture else subprocess.DEVNULL, env=env)
    if feeder is not None:
        feeder.stdout.close()
    out = process.stdout.read() if capture else b""
    _, status, usage = os.wait4(process.pid, 0)
    elapsed = time.perf_counter() - start
    process.returncode = os.waitstatus_to_exitcode(status)
    if feeder is not None:
        feeder.wait()
    if stdin_path is not None:
        stdin.close()
    if process.returncode != 0:
        raise SystemExit(f"{argv[0]} failed with status {process.returncode}")
    return elapsed, usage.ru_maxrss, out, usage.ru_utime + usage.ru_stime


def interleaved(programs, rounds):
    """programs: {name: kwargs of run_once}. Returns {name: (median s, median KiB,
    last out, median CPU s)}."""
    times = {name: [] for name in programs}
    peaks = {name: [] for name in programs}
    cpus = {name: [] for name in programs}
    outs = {}
    for _ in range(rounds):
        for name, spec in programs.items():
            seconds, peak, out, cpu = run_once(**spec)
            times[name].append(seconds)
            peaks[name].append(peak)
            cpus[name].append(cpu)
            outs[name] = out
    return {
        name: (statistics.median(times[name]), statistics.median(peaks[name]), outs[name],
               statistics.median(cpus[name]))
        for name in programs
    }


def verdict(ratio, limit, at_least=False):
    if at_least:
        if ratio >= limit:
            return "met"
        return f"missed by {(limit - ratio):.2f}"
    if ratio <= limit:
        return "met"
    return f"missed by {(ratio - limit):.2f}x"


def machine():
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    memory = "unknown"
    try:
        with open("/proc/meminfo") as meminfo:
            memory = f"{int(meminfo.readline().split()[1]) / 1024 / 1024:.1f} GiB"
    except OSError:
        pass
    return model, os.cpu_count(), memory, platform.release()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--helper", required=True)
    parser.add_argument("--floor", required=True)
    parser.add_argument("--module", required=True)
    parser.add_argument("--list-conf", required=True)
    parser.add_argument("--sign-conf", required=True)
    parser.add_argument("--pin", required=True)
    parser.add_argument("--key-id", required=True)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--big-rounds", type=int, default=3)
    parser.add_argument("--small-rounds", type=int, default=11,
                        help="rounds of the short runs (listing, up to 1 MiB)")
    parser.add_argument("--sizes", default="1024,1048576,16777216,67108864")
    parser.add_argument("--huge", type=int, default=512 * MiB, help="data bytes of the big request")
    parser.add_argument("--deep-nesting", default="", help="file with the deep-nesting figures")
    parser.add_argument("--wine", default="", help="file with the Wine figure")
    parser.add_argument("--startup", default="", help="file with the start-up figures")
    parser.add_argument("--ec-cert", default="",
                        help="DER certificate of the EC P-256 key on the signing token")
    parser.add_argument("--ec-pub", default="", help="its public key (PEM), to verify with")
    parser.add_argument("--mock", default="", help="the mock PKCS#11 module")
    parser.add_argument("--mock-scenario", default="",
                        help="mock scenario: --cert with a key that takes only CKM_RSA_PKCS")
    parser.add_argument("--signer-key", default="",
                        help="the private key of --cert (PEM), for the mock's signature")
    parser.add_argument("--floor-hashing", default="",
                        help="the floor client built to hash where the token cannot")
    parser.add_argument("--previous", default="",
                        help="an earlier build of the helper, run beside this one in the listing "
                        "and signing groups")
    parser.add_argument("--verify-bench", default="",
                        help="bench/verify_bench: what the check against the certificate costs")
    parser.add_argument("--hashing-size", type=int, default=64 * MiB,
                        help="data bytes of the signings through the helper's own hashing")
    args = parser.parse_args()

    load_before = os.getloadavg()
    started = datetime.datetime.now(datetime.timezone.utc)
    cert_hex = open(args.cert, "rb").read().hex()
    list_env = dict(os.environ, SOFTHSM2_CONF=args.list_conf)
    sign_env = dict(os.environ, SOFTHSM2_CONF=args.sign_conf)
    rows = []  # (group, figure, ours, baseline, ratio text, target, verdict)

    def write_request(path, data_path, cert=None, mechanism="rsa_sha256"):
        with open(data_path, "rb") as data, open(path, "w") as out:
            out.write('{"pin":"%s","cert_der_hex":"%s","data_hex":"' % (args.pin, cert or cert_hex))
            while True:
                chunk = data.read(8 * MiB)
                if not chunk:
                    break
                out.write(chunk.hex())
            out.write('","mechanism":"%s"}' % mechanism)

    def make_data(size):
        data_path = os.path.join(args.work, f"data-{size}.bin")
        with open(data_path, "wb") as out:
            left = size
            while left:
                n = min(left, 8 * MiB)
                out.write(os.urandom(n))
                left -= n
        request_path = os.path.join(args.work, f"request-{size}.json")
        write_request(request_path, data_path)
        return data_path, request_path

    def size_name(size):
        if size >= GiB:
            return f"{size // GiB} GiB"
        if size >= MiB:
            return f"{size // MiB} MiB"
        return f"{size // 1024} KiB"

    def previous_row(group, figure, result):
        """The earlier build beside this one, when one was given."""
        if "previous" in result:
            ratio = result["ours"][0] / result["previous"][0]
            rows.append((group, f"{figure}: this build against the earlier one",
                         f"{result['ours'][0] * 1000:.1f} ms",
                         f"earlier: {result['previous'][0] * 1000:.1f} ms", f"{ratio:.3f}x",
                         "information", ""))

    # An output file that exists, as a caller's NamedTemporaryFile does: the
    # document is written into it in place.
    out_path = os.path.join(args.work, "out.json")
    open(out_path, "wb").close()

    # Listing.
    programs = {
        "ours": dict(argv=[args.helper, args.module], env=list_env),
        "ours to a file": dict(argv=[args.helper, args.module, out_path], env=list_env),
        "floor": dict(argv=[args.floor, "list", args.module], env=list_env),
    }
    if args.previous:
        programs["previous"] = dict(argv=[args.previous, args.module], env=list_env)
    result = interleaved(programs, max(args.rounds, args.small_rounds))
    if open(out_path, "rb").read() + b"\n" != result["ours"][2]:
        raise SystemExit("the listing written to a file differs from the one on standard output")
    listed = int(result["floor"][2])
    for name, where in (("ours", ""), ("ours to a file", " into an existing file")):
        ratio = result[name][0] / result["floor"][0]
        rows.append(("listing", f"listing, {listed} certificates on 3 tokens{where} (wall)",
                     f"{result[name][0] * 1000:.1f} ms", f"{result['floor'][0] * 1000:.1f} ms",
                     f"{ratio:.3f}x", "≤ 1.05x", verdict(ratio, 1.05)))
    previous_row("listing", "listing", result)

    targets = {1024: 1.05, MiB: 1.15, 16 * MiB: 1.4, 64 * MiB: 1.4}
    for size in [int(s) for s in args.sizes.split(",") if s]:
        data_path, request_path = make_data(size)
        programs = {
            "ours": dict(argv=[args.helper, args.module, "", "sign", request_path], env=sign_env),
            "floor": dict(argv=[args.floor, "sign", args.module, args.pin, args.cert, data_path],
                          env=sign_env),
            "pkcs11-tool": dict(argv=["pkcs11-tool", "--module", args.module, "--login", "--pin",
                                      args.pin, "--sign", "-m", "SHA256-RSA-PKCS", "--id",
                                      args.key_id, "-i", data_path], env=sign_env),
        }
        if args.previous:
            programs["previous"] = dict(argv=[args.previous, args.module, "", "sign",
                                              request_path], env=sign_env)
        to_file = size == 1024
        if to_file:
            programs["ours to a file"] = dict(
                argv=[args.helper, args.module, out_path, "sign", request_path], env=sign_env)
        result = interleaved(programs,
                             max(args.rounds, args.small_rounds) if size <= MiB else args.rounds)
        document = result["ours"][2].decode()
        expected = '{"signature":"%s","error":null}\n' % result["floor"][2].hex()
        if document != expected:
            raise SystemExit(f"the helper's signature of {size} bytes differs from the floor's")
        if to_file and open(out_path, "rb").read() + b"\n" != document.encode():
            raise SystemExit(f"the signature of {size} bytes written to a file differs")
        limit = targets.get(size, 1.4)
        variants = (("ours", ""), ("ours to a file", " into an existing file"))
        for name, where in variants[:1 + to_file]:
            ratio = result[name][0] / result["floor"][0]
            rows.append(("signing", f"signing {size_name(size)}{where} (wall)",
                         f"{result[name][0] * 1000:.1f} ms", f"{result['floor'][0] * 1000:.1f} ms",
                         f"{ratio:.3f}x", f"≤ {limit}x", verdict(ratio, limit)))
        previous_row("signing", f"signing {size_name(size)}", result)
        if args.verify_bench:
            # The same check the helper made inside the run above, timed alone:
            # reading the certificate's key, hashing the data on the host (the
            # token hashed it too), verifying.
            signature_hex = result["floor"][2].hex()
            timed = subprocess.run([args.verify_bench, args.cert, data_path, signature_hex,
                                    str(args.rounds)], capture_output=True, check=True)
            total, read, hashed, checked, first = (float(x) for x in timed.stdout.split())
            share = total / result["ours"][0]
            rows.append(("signing", f"signing {size_name(size)}: of which the check against the "
                         f"certificate (key {read * 1e3:.2f} ms, host digest {hashed * 1e3:.2f} ms, "
                         f"verification {checked * 1e3:.2f} ms; the first in a process, "
                         f"libcrypto opened: {first * 1e3:.2f} ms)",
                         f"{total * 1000:.2f} ms", f"helper: {result['ours'][0] * 1000:.1f} ms",
                         f"{share:.3f} of it", "information", ""))
        rows.append(("signing", f"signing {size_name(size)}: pkcs11-tool --sign (reference)",
                     f"{result['ours'][0] * 1000:.1f} ms",
                     f"{result['pkcs11-tool'][0] * 1000:.1f} ms",
                     f"{result['ours'][0] / result['pkcs11-tool'][0]:.3f}x", "none", "reference"))
        if size == 64 * MiB:
            ratio = result["ours"][1] / result["floor"][1]
            rows.append(("signing", "signing 64 MiB: peak resident memory",
                         f"{result['ours'][1] / 1024:.1f} MiB",
                         f"{result['floor'][1] / 1024:.1f} MiB", f"{ratio:.3f}x", "≤ 1.1x",
                         verdict(ratio, 1.1)))
            # The request path alone: the module path names nothing, so the run
            # ends after the request has been read, checked and released.
            request_bytes = os.path.getsize(request_path)
            missing = os.path.join(args.work, "no-such-module.so")
            result = interleaved(
                {
                    "file": dict(argv=[args.helper, missing, "", "sign", request_path]),
                    "pipe": dict(argv=[args.helper, missing, "", "sign", "-"],
                                 pipe_from=["cat", request_path]),
                    "cat": dict(argv=["cat", request_path], capture=False),
                },
                args.rounds,
            )
            cat_rate = request_bytes / result["cat"][0] / GiB
            cat_cpu_rate = request_bytes / result["cat"][3] / GiB
            for source, limit in (("file", 1.0), ("pipe", 0.7)):
                rate = request_bytes / result[source][0] / GiB
                rows.append(("request path", f"request path alone, {size_name(request_bytes)} "
                             f"request from a {source}", f"{rate:.2f} GiB/s",
                             f"cat: {cat_rate:.2f} GiB/s", f"{rate / cat_rate:.2f}x of cat",
                             f"≥ {limit} GiB/s", verdict(rate, limit, at_least=True)))
                # Per second of the process's own CPU time (user + system), which
                # a busy machine disturbs far less than wall time.
                cpu_rate = request_bytes / result[source][3] / GiB
                rows.append(("request path", f"the same, per CPU second (user + system)",
                             f"{cpu_rate:.2f} GiB/s", f"cat: {cat_cpu_rate:.2f} GiB/s",
                             f"{cpu_rate / cat_cpu_rate:.2f}x of cat", "information", ""))
        os.remove(request_path)

    # Signing through the helper's own hashing (libcrypto), beside a floor that
    # makes the same calls and hashes with libcrypto too: ECDSA on SoftHSM2,
    # which has no CKM_ECDSA_SHA256, and RSA PKCS#1 v1.5 on the mock, whose
    # key takes only CKM_RSA_PKCS.
    hashing = []
    if not args.floor_hashing:
        args.hashing_size = 0
    if args.ec_cert and args.hashing_size:
        hashing.append(("ecdsa_sha256 on SoftHSM2", open(args.ec_cert, "rb").read().hex(),
                        args.ec_cert, "ecdsa_sha256", args.module, sign_env))
    if hashing or (args.mock and args.mock_scenario and args.hashing_size):
        data_path, _ = make_data(args.hashing_size)
        os.remove(os.path.join(args.work, f"request-{args.hashing_size}.json"))
    if args.mock and args.mock_scenario and args.hashing_size:
        # The helper checks the signature against the certificate, so the
        # mock's key answers the signer's real signature of this data (made
        # with openssl) instead of echoing its input.
        signature = subprocess.run(["openssl", "dgst", "-sha256", "-sign", args.signer_key,
                                    data_path], capture_output=True, check=True).stdout
        scenario_path = os.path.join(args.work, "mock-signed.scenario")
        with open(args.mock_scenario) as scenario, open(scenario_path, "w") as out:
            for line in scenario:
                if line.startswith("object private_key"):
                    line = line.rstrip("\n") + f" signature=hex:{signature.hex()}\n"
                out.write(line)
        hashing.append(("rsa_sha256 through CKM_RSA_PKCS on the mock", cert_hex, args.cert,
                        "rsa_sha256", args.mock,
                        dict(os.environ, MIRANDEL_MOCK_SCENARIO=scenario_path)))
    for title, cert, cert_path, mechanism, module, env in hashing:
        request_path = os.path.join(args.work, "request-hashing.json")
        write_request(request_path, data_path, cert, mechanism)
        result = interleaved(
            {
                "ours": dict(argv=[args.helper, module, "", "sign", request_path], env=env),
                "floor": dict(argv=[args.floor_hashing, "sign", module, args.pin, cert_path,
                                    data_path, mechanism], env=env),
            },
            args.rounds,
        )
        document = result["ours"][2].decode()
        if mechanism == "rsa_sha256":
            if document != '{"signature":"%s","error":null}\n' % result["floor"][2].hex():
                raise SystemExit(f"{title}: the helper's signature differs from the floor's")
        else:
            if not document.startswith('{"signature":"'):
                raise SystemExit(f"{title}: no signature: {document[:200]}")
            signature_path = os.path.join(args.work, "signature.der")
            with open(signature_path, "wb") as out:
                out.write(bytes.fromhex(document.split('"')[3]))
            subprocess.run(["openssl", "dgst", "-sha256", "-verify", args.ec_pub, "-signature",
                            signature_path, data_path], check=True, stdout=subprocess.DEVNULL)
        ratio = result["ours"][0] / result["floor"][0]
        rows.append(("hashing", f"signing {size_name(args.hashing_size)}, {title}, the "
                     "helper hashing (wall)", f"{result['ours'][0] * 1000:.1f} ms",
                     f"{result['floor'][0] * 1000:.1f} ms", f"{ratio:.3f}x", "≤ 1.1x",
                     verdict(ratio, 1.1)))
        os.remove(request_path)
    if hashing:
        os.remove(data_path)

    if args.huge:
        data_path, request_path = make_data(args.huge)
        result = interleaved(
            {
                "ours": dict(argv=[args.helper, args.module, "", "sign", request_path],
                             env=sign_env),
                "floor": dict(argv=[args.floor, "sign", args.module, args.pin, args.cert,
                                    data_path], env=sign_env),
            },
            args.big_rounds,
        )
        if not result["ours"][2].startswith(b'{"signature":"'):
            raise SystemExit("the big request did not sign: " + result["ours"][2].decode()[:200])
        request_bytes = os.path.getsize(request_path)
        ratio = result["ours"][1] / result["floor"][1]
        rows.append(("big request", f"{size_name(request_bytes)} request "
                     f"({size_name(args.huge)} of data): peak resident memory",
                     f"{result['ours'][1] / 1024:.1f} MiB", f"{result['floor'][1] / 1024:.1f} MiB",
                     f"{ratio:.3f}x", "≤ 1.1x", verdict(ratio, 1.1)))
        ratio = result["ours"][0] / result["floor"][0]
        rows.append(("big request", f"{size_name(request_bytes)} request: wall time",
                     f"{result['ours'][0]:.2f} s", f"{result['floor'][0]:.2f} s",
                     f"{ratio:.3f}x", "signs", "met"))
        os.remove(request_path)
        os.remove(data_path)

    load_after = os.getloadavg()
    model, cpus, memory, kernel = machine()
    print("# Benchmarks\n")
    print("Written by `scripts/bench.sh`; figures, not tests. Rerun it to refresh this file.\n")
    print("## Machine\n")
    print(f"- CPU: {model}, {cpus} logical CPUs; memory {memory}; Linux {kernel}")
    print(f"- Run started {started:%Y-%m-%d %H:%M} UTC; load average "
          f"{load_before[0]:.2f} before, {load_after[0]:.2f} after (a shared machine shows it "
          "here)")
    print("- Token: SoftHSM2 (Debian 12), RSA-2048 key, mechanism `rsa_sha256`\n")
    print("## Method\n")
    print(f"- Every figure is the median of {args.rounds} runs ({max(args.rounds, args.small_rounds)} "
          f"for the listing and signings up to 1 MiB, {args.big_rounds} for the "
          "biggest request), interleaved: each round runs every program of a group once, in "
          "turn, so that the baseline beside each figure was measured in the same run, "
          "under the same load.")
    print("- Wall time is the parent's clock from start to exit; peak resident memory is "
          "`ru_maxrss` of the measured process alone (wait4). Linux keeps a process's peak "
          "across exec, so peaks below the driver's own (about 16 MiB) do not show; only the "
          "large signings' peaks are reported.")
    print("- The floor (`bench/floor_client.c`) makes the PKCS#11 calls of the helper: the "
          "load ladder, `C_Initialize`, the slot list, and for a listing per slot "
          "`C_GetSlotInfo`, `C_GetTokenInfo`, a session, the certificate search in batches of "
          "10 and each value in two calls; for a signing the certificate search by value, "
          "`C_Login`, the key search, `C_SignInit` and one `C_Sign` on the raw bytes read from "
          "a file. No JSON, no hex.")
    print("- Signing through the helper's own hashing: SoftHSM2 has no `CKM_ECDSA_SHA256`, "
          "so `ecdsa_sha256` (EC P-256 key) hashes with libcrypto and signs with raw "
          "`CKM_ECDSA`; the mock's key takes only `CKM_RSA_PKCS`, so `rsa_sha256` signs the "
          "DigestInfo of a libcrypto digest. The floor (`pkcs11_floor_client_hashing`, the "
          "same client linked with libcrypto) makes the same calls, the refused "
          "`C_SignInit` included, and hashes with libcrypto too. The ECDSA signature is "
          "checked with `openssl dgst -verify`, the mock's equals the floor's byte for byte.")
    if args.previous:
        print("- \"This build against the earlier one\": an earlier build of the helper "
              "(RelWithDebInfo, the same flags) ran in the same rounds as this one.")
    if args.verify_bench:
        print("- The helper checks every signature against the request's certificate; the "
              "signing figures above include that check. \"Of which the check\" times it alone "
              "in one process (`bench/verify_bench`, median of the rounds after the first): reading "
              "the certificate's key, the host digest of the data, and the verification of the "
              "floor's signature; the first check in the process, which opens libcrypto and "
              "fetches its algorithms, is given apart (in the helper SoftHSM2 has loaded "
              "libcrypto already).")
    print("- `pkcs11-tool --sign` streams with `C_SignUpdate`, which the helper does not do: "
          "a reference, not a target.")
    print("- Every signature of the helper is checked to equal the floor's, byte for byte.")
    print("- The request path alone: the module path names no file, so the run ends after "
          "the request has been read, parsed, decoded and wiped; the rate is request bytes "
          "per second of wall time, with `cat` of the same file as the memory-speed "
          "reference.\n")
    print("## Figures\n")
    print("| Figure | Helper | Baseline (floor unless named) | Ratio | Target | |")
    print("|---|---|---|---|---|---|")
    for _, figure, ours, base, ratio, target, result_text in rows:
        print(f"| {figure} | {ours} | {base} | {ratio} | {target} | {result_text} |")
    if args.wine and os.path.exists(args.wine):
        print("\n## Windows build under Wine (information)\n")
        print(open(args.wine).read().strip())
    if args.startup and os.path.exists(args.startup):
        print()
        print(open(args.startup).read().strip())
    if args.deep_nesting and os.path.exists(args.deep_nesting):
        print("\n## Deep nesting\n")
        print("The request reader skipping an extra member nested N levels deep "
              "(`bench/json_depth_bench`):\n")
        print("```")
        print(open(args.deep_nesting).read().strip())
        print("```")


if __name__ == "__main__":
    main()
