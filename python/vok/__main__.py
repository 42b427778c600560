"""python3 -m vok: lists the tokens attached now."""

from __future__ import annotations

import sys

from . import tokens


def main() -> int:
    try:
        found = tokens()
    except OSError as error:
        print(error, file=sys.stderr)
        return 1
    if not found:
        print("no tokens found", file=sys.stderr)
        return 0
    width = max(len(entry.path) for entry in found)
    print(f"{'INDEX':5}  {'PATH':{width}}  PRODUCT")
    for entry in found:
        print(f"{entry.index:<5}  {entry.path:{width}}  0x{entry.product_id:04x}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
