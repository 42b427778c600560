#!/usr/bin/env python3
"""Prints the translation units of BUILD_DIR's compile database that clang-tidy
checks, one a line: every source of the library (src/), the virtual token
(sim/) and the tools (tools/vok/, tools/decode/), each as it is compiled. A
unity batch (a group of files compiled as one) is checked as one unit, with
its files' diagnostics reported under their own names: the large header
library that every file of a batch includes is then parsed once a batch, not
once a file. Its line adds the checks that clang-tidy must be given for it:
the batch file itself lives in the build tree, so the .clang-tidy of its
files' folder must be named, and it includes .cpp files on purpose.
usage: lint-units.py BUILD_DIR"""
import json
import os
import re
import sys


def folder_checks(source):
    """The Checks of the nearest .clang-tidy below the repository's own."""
    folder = os.path.dirname(source)
    while folder.startswith(ROOT + os.sep):
        config = os.path.join(folder, ".clang-tidy")
        if os.path.exists(config):
            with open(config, encoding="utf-8") as f:
                found = re.search(r"^Checks: '([^']*)'", f.read(), re.MULTILINE)
            return [found.group(1)] if found else []
        folder = os.path.dirname(folder)
    return []


ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CHECKED = tuple(os.path.join(ROOT, d) + os.sep for d in ("src", "sim", "tools/vok", "tools/decode"))

with open(os.path.join(sys.argv[1], "compile_commands.json"), encoding="utf-8") as f:
    entries = json.load(f)
units = []
for entry in entries:
    unit = os.path.normpath(os.path.join(entry["directory"], entry["file"]))
    sources = [unit]
    line = unit
    if "/Unity/unity_" in unit:
        with open(unit, encoding="utf-8") as f:
            sources = re.findall(r'^#include "(.+)"$', f.read(), re.MULTILINE)
        line += " " + ",".join(["-bugprone-suspicious-include"] + folder_checks(sources[0]))
    if any(os.path.normpath(s).startswith(CHECKED) for s in sources) and line not in units:
        units.append(line)
print("\n".join(units))
