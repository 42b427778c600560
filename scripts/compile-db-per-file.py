#!/usr/bin/env python3
"""Writes OUT_DIR/compile_commands.json from BUILD_DIR's, with each unity
source (a batch of files compiled as one) replaced by one entry per file it
includes, so that clang-tidy checks every file with its own target's flags.
usage: compile-db-per-file.py BUILD_DIR OUT_DIR"""
import json
import os
import re
import sys

build, out = sys.argv[1], sys.argv[2]
with open(os.path.join(build, "compile_commands.json"), encoding="utf-8") as f:
    entries = json.load(f)
expanded = []
for entry in entries:
    if "/Unity/unity_" not in entry["file"]:
        expanded.append(entry)
        continue
    with open(entry["file"], encoding="utf-8") as f:
        included = re.findall(r'^#include "(.+)"$', f.read(), re.MULTILINE)
    for source in included:
        expanded.append(dict(entry, file=source, command=entry["command"].replace(entry["file"], source)))
os.makedirs(out, exist_ok=True)
with open(os.path.join(out, "compile_commands.json"), "w", encoding="utf-8") as f:
    json.dump(expanded, f, indent=1)
