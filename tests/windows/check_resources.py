#!/usr/bin/env python3
"""Reads the resources back from the built mirandel-pkcs11-helper.exe.

Uses wrestool (icoutils) to list and extract them, then checks the version
record (numbers and strings), the manifest (its processor that of the image)
and the icon group's sizes.
Prints one line per check and exits non-zero when any fails.

    check_resources.py build-win/mirandel-pkcs11-helper.exe
"""

import struct
import subprocess
import sys
import xml.etree.ElementTree as ET

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24

failures = 0
checks = 0


def check(condition, what, detail=""):
    global failures, checks
    checks += 1
    print(("ok    " if condition else "FAIL  ") + what + (f" ({detail})" if detail and not condition else ""))
    if not condition:
        failures += 1


def extract(exe, resource_type, name=None):
    command = ["wrestool", "-x", "--raw", f"--type={resource_type}"]
    if name is not None:
        command.append(f"--name={name}")
    return subprocess.run(command + [exe], check=True, capture_output=True).stdout


def parse_version_block(data, offset):
    """One node of VS_VERSIONINFO: (key, value bytes, children, end offset)."""
    length, value_length, value_type = struct.unpack_from("<HHH", data, offset)
    end = offset + length
    position = offset + 6
    key_end = position
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[position:key_end].decode("utf-16-le")
    position = (key_end + 2 + 3) & ~3
    value_size = value_length * 2 if value_type == 1 else value_length
    value = data[position:position + value_size]
    position = (position + value_size + 3) & ~3
    children = []
    while position < end:
        child = parse_version_block(data, position)
        children.append(child)
        position = (child[3] + 3) & ~3
    return key, value, children, end


def version_strings(root):
    strings = {}
    for child in root[2]:
        if child[0] == "StringFileInfo":
            for table in child[2]:
                for key, value, _, _ in table[2]:
                    strings[key] = value.decode("utf-16-le").rstrip("\0")
    return strings


def main(exe):
    listing = subprocess.run(["wrestool", "-l", exe], check=True, capture_output=True,
                             text=True).stdout
    for resource_type, label in ((RT_ICON, "an icon"), (RT_GROUP_ICON, "an icon group"),
                                 (RT_VERSION, "a version record"), (RT_MANIFEST, "a manifest")):
        check(f"--type={resource_type} " in listing, f"the executable has {label}", listing)

    root = parse_version_block(extract(exe, RT_VERSION), 0)
    check(root[0] == "VS_VERSION_INFO", "the version record is a VS_VERSION_INFO", root[0])
    fixed = root[1]
    signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", fixed, 0)
    check(signature == 0xFEEF04BD, "the fixed file info has its signature", hex(signature))
    numbers = lambda ms, ls: (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    check(numbers(file_ms, file_ls) == (1, 0, 4, 0), "FILEVERSION is 1,0,4,0",
          numbers(file_ms, file_ls))
    check(numbers(product_ms, product_ls) == (1, 0, 4, 0), "PRODUCTVERSION is 1,0,4,0",
          numbers(product_ms, product_ls))
    strings = version_strings(root)
    expected = {
        "FileVersion": "1.0.4",
        "ProductVersion": "1.0.4",
        "ProductName": "Mirandel",
        "FileDescription": "Mirandel PKCS#11 helper",
        "OriginalFilename": "mirandel-pkcs11-helper.exe",
        "InternalName": "mirandel-pkcs11-helper",
    }
    for key, value in expected.items():
        check(strings.get(key) == value, f'{key} is "{value}"', repr(strings.get(key)))

    manifest = extract(exe, RT_MANIFEST, 1).decode("utf-8")
    namespace = {"asm": "urn:schemas-microsoft-com:asm.v1",
                 "asm3": "urn:schemas-microsoft-com:asm.v3"}
    tree = ET.fromstring(manifest)
    identities = [
        element.attrib for element in
        tree.findall("asm:dependency/asm:dependentAssembly/asm:assemblyIdentity", namespace)
    ]
    check(any(i.get("name") == "Microsoft.Windows.Common-Controls" and
              i.get("version") == "6.0.0.0" for i in identities),
          "the manifest asks for Common-Controls 6.0.0.0", identities)
    # Windows refuses to start a program whose manifest names another processor.
    with open(exe, "rb") as image:
        head = image.read(4096)
    pe = struct.unpack_from("<I", head, 0x3C)[0]
    machine = struct.unpack_from("<H", head, pe + 4)[0]
    own = tree.find("asm:assemblyIdentity", namespace)
    wanted = {0x8664: "amd64", 0x014C: "x86"}.get(machine)
    check(own is not None and own.get("processorArchitecture") == wanted,
          f"the manifest names the processor of the image ({wanted})",
          None if own is None else own.get("processorArchitecture"))
    levels = [element.get("level") for element in tree.iter(
        "{urn:schemas-microsoft-com:asm.v3}requestedExecutionLevel")]
    check(levels == ["asInvoker"], "the manifest runs the program asInvoker", levels)

    group = extract(exe, RT_GROUP_ICON)
    _, kind, count = struct.unpack_from("<HHH", group, 0)
    sizes = []
    for index in range(count):
        width, height = struct.unpack_from("<BB", group, 6 + 14 * index)
        sizes.append((width or 256, height or 256))
    check(kind == 1, "the icon group holds icons", kind)
    check(sorted(sizes) == [(16, 16), (32, 32), (48, 48)], "the icon comes in 16, 32 and 48 px",
          sizes)

    print(f"resources: {checks - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.stderr.write("usage: check_resources.py EXECUTABLE\n")
        sys.exit(2)
    sys.exit(main(sys.argv[1]))
