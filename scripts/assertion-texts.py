#!/usr/bin/env python3
"""Lists or checks the texts that the library's process-ending assertions print.

An assertion report names the source file (without its directory), the
function's full signature and the failed expression; callers and tests match
those texts, so the file names, function names and signatures, and the
identifiers inside the expressions are frozen. src/common/assertionTexts.txt
lists them; this script prints the list from the source (--print) or checks
that the list and the source agree (the default).
"""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
LIST = ROOT / "src" / "common" / "assertionTexts.txt"
FUNCTION = re.compile(r"^(?:extern \"C\" )?[A-Za-z_][\w\s\*&:<>]*?[\s\*&]([A-Za-z_]\w*)\(")
ASSERTION = re.compile(r"VOK_ASSERT\((.*)\);")


def from_source():
    rows = []
    for path in sorted((ROOT / "src").glob("*/*.cpp")):
        function = None
        for line in path.read_text().splitlines():
            match = FUNCTION.match(line)
            if match:
                function = match.group(1)
            for found in ASSERTION.finditer(line):
                row = f"{path.stem}\t{function}\t{found.group(1)}"
                if row not in rows:
                    rows.append(row)
    return rows


def from_list():
    lines = LIST.read_text().splitlines()
    return [line for line in lines if line and not line.startswith("#")]


def main():
    rows = from_source()
    if sys.argv[1:] == ["--print"]:
        print("\n".join(rows))
        return 0
    listed = from_list()
    missing = [row for row in rows if row not in listed]
    stale = [row for row in listed if row not in rows]
    for row in missing:
        print(f"assertion not in {LIST.name}: {row}", file=sys.stderr)
    for row in stale:
        print(f"listed in {LIST.name} but not in the source: {row}", file=sys.stderr)
    if missing or stale:
        print("Assertion texts are matched by callers and tests: change one only on purpose, "
              "then regenerate the list with scripts/assertion-texts.py --print.", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
