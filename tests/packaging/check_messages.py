#!/usr/bin/env python3
"""Checks that the README and the man page document every message the program
can produce.

The messages are taken from the sources, not from a list kept here:
- every constant of src/messages.hpp, the one home of the Italian texts (the
  usage line without its line feed);
- the English texts of the PKCS#11 binding: every string literal under
  src/pkcs11/ that holds a blank, or that ends in "(" or "::" (the pieces the
  English texts are built from);
- the name and description of every standard return value in
  src/pkcs11/return_value_table.cpp.
Each must appear, as written, in README.md and in docs/mirandel-pkcs11-helper.1
(whose roff escapes are undone first). A literal of that kind anywhere else
under src/ is an error too: a text a caller can see belongs in messages.hpp.

Usage: check_messages.py [REPOSITORY]
"""

import pathlib
import re
import sys

LITERAL = re.compile(r'R"([^(]*)\((.*?)\)\1"|"((?:[^"\\\n]|\\.)*)"', re.S)
COMMENT = re.compile(r"//[^\n]*")
MESSAGE_CONSTANT = re.compile(r'constexpr std::string_view [A-Z][A-Z0-9_]* =\s*"((?:[^"\\\n]|\\.)*)";')
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


def literals(path):
    """The string literals of a C++ file that look like message text."""
    code = COMMENT.sub("", path.read_text(encoding="utf-8"))
    for match in LITERAL.finditer(code):
        text = match.group(2) if match.group(2) is not None else unescape_c(match.group(3))
        if " " in text or text.endswith("(") or text.endswith("::"):
            yield text


def header_messages(repo):
    header = COMMENT.sub("", (repo / "src/messages.hpp").read_text(encoding="utf-8"))
    constants = [unescape_c(text) for text in MESSAGE_CONSTANT.findall(header)]
    # A constant written some other way (a raw string, literals joined) would
    # slip past the pattern: every one must have been read.
    if len(constants) != header.count("constexpr") or not constants:
        raise SystemExit("src/messages.hpp holds a constant this check cannot read")
    return constants


def binding_texts(repo):
    return {text for path in sorted((repo / "src/pkcs11").rglob("*"))
            if path.suffix in (".cpp", ".hpp") and path.name != "return_value_table.cpp"
            for text in literals(path)}


def stray_texts(repo):
    """Message-like literals outside messages.hpp and the binding."""
    stray = []
    for path in sorted((repo / "src").rglob("*")):
        relative = path.relative_to(repo / "src")
        if (path.suffix not in (".cpp", ".hpp") or relative.parts[0] == "pkcs11"
                or relative == pathlib.Path("messages.hpp")):
            continue
        stray += [f"{relative}: {text!r}" for text in literals(path)]
    return stray


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
    stray = stray_texts(repo)
    if stray:
        print("texts outside src/messages.hpp:", *stray, sep="\n  ")
        return 1
    binding = binding_texts(repo)
    # The binding's texts must have been found at all: they are a known floor.
    if len(binding) < 15 or "Missing PKCS#11 symbol: " not in binding:
        raise SystemExit(f"found only {len(binding)} texts in src/pkcs11/: is the extraction broken?")
    wanted = header_messages(repo) + sorted(binding)
    wanted += [t for entry in return_values(repo) for t in entry]
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
