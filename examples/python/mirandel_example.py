#!/usr/bin/env python3
"""Calls mirandel-pkcs11-helper from Python: lists the certificates, then
signs a short text with the first one.

Usage: mirandel_example.py HELPER MODULE PIN

Prints "certificate: HEX" and "signature: HEX" on standard output. Exits with
0 on success, 1 when a document reports an error (the message goes to
standard error), 2 when the helper gave no document.
"""

import json
import subprocess
import sys

DATA = "Documento di prova firmato con Mirandel.".encode("utf-8")


class NoDocument(Exception):
    """The helper ended without delivering a document."""


def run_helper(helper, arguments, request=None):
    """Runs the helper and returns its document as a dict."""
    # A list of arguments and no shell: paths and PINs are passed as they are.
    # communicate() reads standard output to its end while the helper runs.
    completed = subprocess.run(
        [helper, *arguments],
        input=request,
        capture_output=True,
        timeout=120,
        check=False,
    )
    if completed.returncode != 0:
        # 1: the document could not be delivered; 2: usage line; 101: internal error.
        raise NoDocument(
            f"status {completed.returncode}: {completed.stderr.decode('utf-8', 'replace').strip()}"
        )
    return json.loads(completed.stdout.decode("utf-8"))


def main(argv):
    if len(argv) != 4:
        print(__doc__.strip().splitlines()[3], file=sys.stderr)
        return 2
    helper, module, pin = argv[1:]
    try:
        listing = run_helper(helper, [module])
        if listing["error"] is not None:
            print(f"listing failed: {listing['error']}", file=sys.stderr)
            return 1
        certificates = [cert["der_hex"] for slot in listing["slots"] for cert in slot["certs"]]
        if not certificates:
            print("no certificate on any token", file=sys.stderr)
            return 1
        certificate = certificates[0]
        print(f"certificate: {certificate}")

        # The request goes through standard input ("-"): the PIN never touches
        # a file or the command line. The second argument is empty, so the
        # document comes back on standard output. The mechanism suits an RSA
        # key; the others are rsa_sha384, rsa_sha512, rsa_pss_sha256,
        # rsa_pss_sha384, rsa_pss_sha512 and, for an EC key, ecdsa_sha256,
        # ecdsa_sha384 and ecdsa_sha512.
        request = json.dumps({
            "pin": pin,
            "cert_der_hex": certificate,
            "data_hex": DATA.hex(),
            "mechanism": "rsa_sha256",
        }).encode("utf-8")
        signed = run_helper(helper, [module, "", "sign", "-"], request)
        if signed["error"] is not None:
            print(f"signing failed: {signed['error']}", file=sys.stderr)
            return 1
        print(f"signature: {signed['signature']}")
        return 0
    except (NoDocument, subprocess.TimeoutExpired, OSError, ValueError) as problem:
        print(f"the helper gave no document: {problem}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
