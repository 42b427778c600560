#!/usr/bin/env python3
"""The vok tool is a client of libvok's public interface: every vok* name it
takes from libvok.so is declared by an installed header (include/vok/), and
its sources include no internal header of the library but the header-only
facts of src/common.

    check-tool-interface.py VOK_BINARY SOURCE_DIR"""
import pathlib
import re
import subprocess
import sys


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    binary, source = sys.argv[1], pathlib.Path(sys.argv[2])
    problems = []

    public = "\n".join(p.read_text() for p in sorted((source / "include/vok").glob("*.h*")))
    # Names bound to libvok.so's versions: called, or (data) copied into the
    # program when it starts.
    symbols = subprocess.run(["nm", "-D", binary], check=True, capture_output=True,
                             text=True).stdout
    for name in sorted(set(re.findall(r"\s(\w+)@+VOK_", symbols))):
        if not re.search(r"\b" + re.escape(name) + r"\b", public):
            problems.append(f"{binary} takes {name} from libvok.so, which no installed header declares")

    internal = source / "src"
    for path in sorted((source / "tools").rglob("*")):
        if path.suffix not in (".cpp", ".h"):
            continue
        for number, line in enumerate(path.read_text().splitlines(), 1):
            match = re.match(r'\s*#\s*include\s+"([^"]+)"', line)
            if not match:
                continue
            name = match.group(1)
            if (internal / name).exists() and not name.startswith("common/"):
                problems.append(f"{path.relative_to(source)}:{number} includes the library's "
                                f"internal {name} (only src/common is the tool's)")

    for problem in problems:
        print(problem)
    print(f"{'0 passed, 1 failed' if problems else '1 passed, 0 failed'}: "
          "the tool uses the public interface and src/common")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
