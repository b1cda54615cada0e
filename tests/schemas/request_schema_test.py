#!/usr/bin/python3
"""Holds the request schema to what the program does with a sample of requests.

Each request is given to the program (with a module path that names no file,
so nothing is loaded) and to the request schema. The program either refuses
the request, with one of the request messages, or accepts it and goes on to
load the module. The schema must accept exactly the requests the program goes
on with. Requests with a member named twice are left out: a schema cannot
tell them apart (the program refuses them as unreadable).

Usage: request_schema_test.py HELPER
"""

import json
import pathlib
import subprocess
import sys
import tempfile

import jsonschema

SCHEMA = pathlib.Path(__file__).resolve().parent.parent.parent / "docs/schemas/request.schema.json"
CERT = "3082010a0282010100c7"
DATA = "446f63756d656e746f"
GOOD = {"pin": "1234", "cert_der_hex": CERT, "data_hex": DATA, "mechanism": "rsa_sha256"}

UNREADABLE = "Input di firma non leggibile."
INVALID = "Input di firma non valido."
UNSUPPORTED = "Meccanismo non supportato: "
ACCEPTED = "Modulo PKCS#11 non caricabile: "


def with_member(name, value):
    request = dict(GOOD)
    request[name] = value
    return json.dumps(request)


def without_member(name):
    request = dict(GOOD)
    del request[name]
    return json.dumps(request)


# (what, request text, the start of the program's message)
SAMPLES = [
    ("object form", json.dumps(GOOD), ACCEPTED),
    ("array form", json.dumps(list(GOOD.values())), ACCEPTED),
    ("members in another order", json.dumps(dict(reversed(list(GOOD.items())))), ACCEPTED),
    ("an extra member holding nested values",
     with_member("comment", {"a": [1, 2.5e3, None, True, {"b": "c"}]}), ACCEPTED),
    ("empty pin, certificate and data",
     json.dumps({"pin": "", "cert_der_hex": "", "data_hex": "", "mechanism": "rsa_sha512"}),
     ACCEPTED),
    ("upper-case hexadecimal", with_member("cert_der_hex", CERT.upper()), ACCEPTED),
    ("a name written with an escape", json.dumps(GOOD).replace('"pin"', '"p\\u0069n"'), ACCEPTED),
    ("non-ASCII pin", with_member("pin", "pàss€"), ACCEPTED),
    ("a string", '"1234"', UNREADABLE),
    ("a number", "42", UNREADABLE),
    ("null", "null", UNREADABLE),
    ("true", "true", UNREADABLE),
    ("an empty object", "{}", UNREADABLE),
    ("an empty array", "[]", UNREADABLE),
    ("no pin", without_member("pin"), UNREADABLE),
    ("no mechanism", without_member("mechanism"), UNREADABLE),
    ("pin as a number", with_member("pin", 1234), UNREADABLE),
    ("pin as null", with_member("pin", None), UNREADABLE),
    ("pin as an array", with_member("pin", ["1234"]), UNREADABLE),
    ("certificate as an object", with_member("cert_der_hex", {"hex": CERT}), UNREADABLE),
    ("data as a boolean", with_member("data_hex", False), UNREADABLE),
    ("mechanism as a number", with_member("mechanism", 64), UNREADABLE),
    ("three strings", json.dumps(list(GOOD.values())[:3]), UNREADABLE),
    ("five strings", json.dumps(list(GOOD.values()) + ["extra"]), UNREADABLE),
    ("an array holding a number", json.dumps(["1234", CERT, DATA, 64]), UNREADABLE),
    ("an array holding null", json.dumps([None, CERT, DATA, "rsa_sha256"]), UNREADABLE),
    ("an array holding an array", json.dumps([["1234"], CERT, DATA, "rsa_sha256"]), UNREADABLE),
    ("odd-length certificate", with_member("cert_der_hex", CERT + "0"), INVALID),
    ("data with a 0x prefix", with_member("data_hex", "0x" + DATA), INVALID),
    ("data with a blank", with_member("data_hex", DATA[:4] + " " + DATA[4:]), INVALID),
    ("mechanism in capitals", with_member("mechanism", "RSA_SHA256"), UNSUPPORTED),
    ("mechanism with a trailing blank", with_member("mechanism", "rsa_sha256 "), UNSUPPORTED),
    ("empty mechanism", with_member("mechanism", ""), UNSUPPORTED),
    ("another mechanism", with_member("mechanism", "rsa_sha1"), UNSUPPORTED),
    *((f"mechanism {name}", with_member("mechanism", name), ACCEPTED)
      for name in ("rsa_pss_sha256", "rsa_pss_sha384", "rsa_pss_sha512", "ecdsa_sha256",
                   "ecdsa_sha384", "ecdsa_sha512")),
    *((f"mechanism {name}", with_member("mechanism", name), UNSUPPORTED)
      for name in ("rsa_pss_sha1", "ecdsa_sha224", "ECDSA_SHA256", "ecdsa", "rsa_pss")),
]


def program_message(helper, request, work):
    path = work / "request.json"
    path.write_text(request, encoding="utf-8")
    completed = subprocess.run([helper, str(work / "no-such-module"), "", "sign", str(path)],
                               capture_output=True, timeout=60, check=False)
    if completed.returncode != 0:
        return f"(status {completed.returncode})"
    return json.loads(completed.stdout)["error"] or "(no error)"


def main(argv):
    helper = argv[1]
    schema = json.loads(SCHEMA.read_text(encoding="utf-8"))
    validator = jsonschema.Draft202012Validator(schema)
    failures = 0
    with tempfile.TemporaryDirectory() as work:
        for what, request, expected in SAMPLES:
            message = program_message(helper, request, pathlib.Path(work))
            schema_accepts = validator.is_valid(json.loads(request))
            problems = []
            if not message.startswith(expected):
                problems.append(f"the program answers {message!r}, expected {expected!r}...")
            if schema_accepts != message.startswith(ACCEPTED):
                problems.append("the schema " + ("accepts" if schema_accepts else "refuses") +
                                f" it, while the program answers {message!r}")
            for problem in problems:
                failures += 1
                print(f"FAIL: {what}: {problem}")
    print(f"{len(SAMPLES)} requests checked, {failures} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
