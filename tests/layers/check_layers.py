#!/usr/bin/env python3
"""Fails when a folder of the program includes from a folder above it.

The program's folders depend downward only:
    wizard -> service -> engine -> replace, identity -> core -> nt
replace and identity stand side by side and include neither each other. No folder of
the program includes ntsim (the simulation stands behind nt/ and nothing above it
knows it exists), and nt/ and ntsim/ include nothing of the program. The one header every
layer may include is wizard/resource.h: the resource ids, shared by the resource script and
each piece that loads a dialog or a string.
"""
import pathlib
import re
import sys

RANK = {"nt": 0, "core": 1, "replace": 2, "identity": 2, "engine": 3, "service": 4, "wizard": 5}
PROGRAM = set(RANK) - {"nt"}
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)


SHARED = {"wizard/resource.h"}


def allowed(src, dst, target=""):
    if target in SHARED and src in PROGRAM:
        return True
    if dst == src:
        return True
    if src == "ntsim":
        return dst == "nt"
    if dst == "ntsim":
        return False
    if dst not in RANK:
        return True  # a header beside the file or a generated one
    if src not in RANK:
        return True
    return RANK[dst] < RANK[src]


def main(root):
    src = pathlib.Path(root) / "src"
    faults = []
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".h", ".cpp", ".rc") or not path.is_file():
            continue
        folder = path.relative_to(src).parts[0]
        for target in INCLUDE.findall(path.read_text(errors="replace")):
            parts = target.split("/")
            if len(parts) < 2:
                continue
            if not allowed(folder, parts[0], target):
                faults.append(f"{path.relative_to(root)}: includes {target} ({folder} may not depend on {parts[0]})")
    for line in faults:
        print(line)
    print(f"layers: {len(faults)} include(s) against the layering")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parents[2]))
