#!/usr/bin/python3
"""Validates JSON documents against the schemas in docs/schemas/.

Usage: validate.py KIND FILE...

KIND is listing, signature or request, or document to pick listing or
signature by the document's first member. Each FILE must hold one JSON value
in UTF-8, with at most one line feed after it; a member named twice, NaN and
Infinity are refused before the schema is applied. Prints one line per file
that does not validate and exits with status 1 if there is any; exits with
status 2 when the validator itself cannot run (no python3-jsonschema).

Run it with Debian's /usr/bin/python3, which has python3-jsonschema.
"""

import json
import pathlib
import sys

try:
    import jsonschema
except ImportError:
    print("validate.py: python3-jsonschema is not installed", file=sys.stderr)
    sys.exit(2)

SCHEMA_DIR = pathlib.Path(__file__).resolve().parent.parent.parent / "docs" / "schemas"
KINDS = ("listing", "signature", "request")


def load_schema(kind):
    schema = json.loads((SCHEMA_DIR / f"{kind}.schema.json").read_text(encoding="utf-8"))
    jsonschema.Draft202012Validator.check_schema(schema)
    return jsonschema.Draft202012Validator(schema)


def refuse_duplicates(pairs):
    seen = set()
    for key, _ in pairs:
        if key in seen:
            raise ValueError(f"member {key!r} appears twice")
        seen.add(key)
    return dict(pairs)


def refuse_constant(name):
    raise ValueError(f"{name} is not JSON")


def parse(data):
    """The JSON value of the file's bytes; raises ValueError."""
    text = data.decode("utf-8")  # strict: a stray byte is an error
    if text.endswith("\n"):
        text = text[:-1]
    return json.loads(text, object_pairs_hook=refuse_duplicates, parse_constant=refuse_constant)


def kind_of(value):
    if isinstance(value, dict) and value:
        first = next(iter(value))
        if first == "slots":
            return "listing"
        if first == "signature":
            return "signature"
    return None


def main(argv):
    if len(argv) < 3 or argv[1] not in KINDS + ("document",):
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    validators = {kind: load_schema(kind) for kind in KINDS}
    failures = 0
    for name in argv[2:]:
        problems = []
        try:
            value = parse(pathlib.Path(name).read_bytes())
        except (OSError, ValueError) as error:
            problems.append(f"not a JSON document: {error}")
        else:
            kind = argv[1] if argv[1] != "document" else kind_of(value)
            if kind is None:
                problems.append("neither a listing nor a signature document")
            else:
                for error in validators[kind].iter_errors(value):
                    where = "/".join(str(part) for part in error.absolute_path) or "(top)"
                    message = error.message
                    if len(message) > 200:  # certificates run to thousands of digits
                        message = message[:90] + " ... " + message[-90:]
                    problems.append(f"{kind} schema, at {where}: {message}")
        if problems:
            failures += 1
            print(f"{name}: " + "; ".join(problems[:3]))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
