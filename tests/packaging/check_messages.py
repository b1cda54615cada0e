#!/usr/bin/env python3
"""Checks that the README and the man page document every message the program
can produce.

The messages are taken from the sources, not from a list kept here: every
string literal under src/ that holds a blank, or that ends in "(" or "::"
(the pieces the English texts are built from), with the error text of the
last-resort document taken out of its JSON, and the name and description of
every standard return value in src/pkcs11/return_value_table.cpp. Each must
appear, as written, in README.md and in docs/mirandel-pkcs11-helper.1 (whose
roff escapes are undone first).

Usage: check_messages.py [REPOSITORY]
"""

import json
import pathlib
import re
import sys

LITERAL = re.compile(r'R"([^(]*)\((.*?)\)\1"|"((?:[^"\\\n]|\\.)*)"', re.S)
COMMENT = re.compile(r"//[^\n]*")
TABLE_ENTRY = re.compile(r'\{0x[0-9a-f]+, "(CKR_[A-Z0-9_]+)", "((?:[^"\\]|\\.)*)"\}')
C_ESCAPES = {"n": "", "\\": "\\", '"': '"'}  # a trailing \n is the line end, not text
# The roff escapes the man page uses, and what they stand for.
ROFF_ESCAPES = {
    r"\[cq]": "\u2019", r"\[oq]": "\u2018", r"\[lq]": "\u201c", r"\[rq]": "\u201d",
    r"\[em]": "\u2014", r"\(aq": "'", r"\(dq": '"', r"\-": "-", r"\e": "\\", r"\&": "",
    r"\ ": " ", r"\[ti]": "~", r"\[ha]": "^", r"\fB": "", r"\fI": "", r"\fR": "", r"\fP": "",
    r"\fC": "", r"\(em": "\u2014", r"\.": ".",
}


def unescape_c(text):
    return re.sub(r"\\(.)", lambda m: C_ESCAPES.get(m.group(1), m.group(1)), text)


def source_messages(repo):
    messages = set()
    for path in sorted((repo / "src").rglob("*")):
        if path.suffix not in (".cpp", ".hpp") or path.name == "return_value_table.cpp":
            continue
        code = COMMENT.sub("", path.read_text(encoding="utf-8"))
        for match in LITERAL.finditer(code):
            if match.group(2) is not None:
                text = match.group(2)
            else:
                text = unescape_c(match.group(3))
            if not (" " in text or text.endswith("(") or text.endswith("::")):
                continue
            if text.startswith("{"):
                # A whole document: its error text is the message.
                document = json.loads(text)
                messages.add(document["error"])
            else:
                messages.add(text)
    return messages


def return_values(repo):
    table = (repo / "src/pkcs11/return_value_table.cpp").read_text(encoding="utf-8")
    entries = [(name, unescape_c(text)) for name, text in TABLE_ENTRY.findall(table)]
    if len(entries) != 93:
        raise SystemExit(f"expected 93 return values in the table, found {len(entries)}")
    return entries


def man_page_text(repo):
    text = (repo / "docs/mirandel-pkcs11-helper.1").read_text(encoding="utf-8")
    text = re.sub(r'^\.\\".*\n', "", text, flags=re.M)  # comment lines
    unknown = set()

    def meaning(match):
        if match.group(0) not in ROFF_ESCAPES:
            unknown.add(match.group(0))
        return ROFF_ESCAPES.get(match.group(0), "")

    # One pass, so that the output of one escape is never read as another.
    text = re.sub(r"\\(\[[a-z]{2}\]|\([a-z]{2}|.)", meaning, text)
    if unknown:
        raise SystemExit(f"the man page uses escapes this check cannot read: {sorted(unknown)}")
    return text


def main():
    repo = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    documents = {
        "README.md": (repo / "README.md").read_text(encoding="utf-8"),
        "the man page": man_page_text(repo),
    }
    messages = source_messages(repo)
    # Messages must have been found at all: the Italian ones are a known floor.
    if len(messages) < 20 or "Input di firma non leggibile." not in messages:
        raise SystemExit(f"found only {len(messages)} messages in src/: is the extraction broken?")
    wanted = sorted(messages) + [t for entry in return_values(repo) for t in entry]
    missing = 0
    for name, text in documents.items():
        for message in wanted:
            if message not in text:
                missing += 1
                print(f"missing from {name}: {message!r}")
    print(f"{len(wanted)} messages and return values checked in README.md and the man page; "
          f"{missing} missing")
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
