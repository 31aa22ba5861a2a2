#!/usr/bin/env python3
"""Holds the project's folders to their order: a file includes only its own folder and the
folders below it, so each folder can be read, built and tested without the ones above.

  driver/            only driver/ (and its platform headers); never host/ or tools/
  host/ (but world/ and image/, the driver image bound to a world) reaches host/world only
                     through current.h (the current world, for the exported platform routines)
                     and crash_guard.h
  tools/nicsim/      cli < scenario < report < run < explore, bridge < main.cpp;
                     explore and bridge do not include each other

Usage: include_layers_test.py REPO. Prints every include that breaks the order; exit 1 if any.
"""
import pathlib
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
TOOL_RANK = {"cli": 0, "scenario": 1, "report": 2, "run": 3, "explore": 4, "bridge": 4}
WORLD_SEAMS = {"host/world/current.h", "host/world/crash_guard.h"}


def sources(root, folder):
    for path in sorted((root / folder).rglob("*")):
        if path.suffix in (".h", ".cpp"):
            yield path, INCLUDE.findall(path.read_text(errors="replace"))


def main():
    root = pathlib.Path(sys.argv[1]).resolve()
    wrong = []
    for path, includes in sources(root, "driver"):
        for inc in includes:
            if inc.startswith(("host/", "tools/")):
                wrong.append((path, inc, "the driver reaches the world only through its platform headers"))
    for path, includes in sources(root, "host"):
        folder = path.relative_to(root).parts[1]
        for inc in includes:
            if inc.startswith("tools/"):
                wrong.append((path, inc, "the world does not include the tool"))
            elif folder not in ("world", "image") and inc.startswith("host/world/") and inc not in WORLD_SEAMS:
                wrong.append((path, inc, f"host/{folder} may use only the current-world seam of host/world"))
    for path, includes in sources(root, "tools/nicsim"):
        parts = path.relative_to(root / "tools/nicsim").parts
        mine = parts[0] if len(parts) > 1 else None  # None: main.cpp, above every folder
        for inc in includes:
            if not inc.startswith("tools/nicsim/"):
                continue
            theirs = pathlib.PurePosixPath(inc).parts[2]
            if theirs not in TOOL_RANK:
                wrong.append((path, inc, f"tools/nicsim/{theirs} is not a known folder"))
            elif mine is not None and theirs != mine and TOOL_RANK[theirs] >= TOOL_RANK[mine]:
                wrong.append((path, inc, f"{mine}/ may use only folders below it, not {theirs}/"))
    for path, inc, why in wrong:
        print(f"{path.relative_to(root)}: includes {inc}: {why}")
    if not wrong:
        print("every include keeps the folders' order")
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
