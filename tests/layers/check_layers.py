#!/usr/bin/env python3
"""Fails when a folder of the program includes from a folder above it.

The program's folders depend downward only:
    wizard -> service -> engine -> replace, identity -> core -> nt
replace and identity stand side by side and include neither each other. No folder of
the program includes ntsim (the simulation stands behind nt/ and nothing above it
knows it exists), and nt/ and ntsim/ include nothing of the program. The one header every
layer may include is wizard/resource.h: the resource ids, shared by the resource script and
each piece that loads a dialog or a string.

Inside ntsim the same rule holds between its folders:
    main -> machine -> registry, security, files, user, net, services -> kernel
kernel/ is the ground every subsystem stands on and includes none of them; the subsystems
stand side by side; machine/ (create, presets, the import of an image, boot, shutdown, census)
assembles a machine from all of them, and nothing below it includes it.
"""
import pathlib
import re
import sys

RANK = {"nt": 0, "core": 1, "replace": 2, "identity": 2, "engine": 3, "service": 4, "wizard": 5}
PROGRAM = set(RANK) - {"nt"}
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)


SHARED = {"wizard/resource.h"}

NTSIM_RANK = {"kernel": 0, "registry": 1, "security": 1, "files": 1, "user": 1, "net": 1, "services": 1,
              "machine": 2, "main": 3}


def ntsim_allowed(src, dst):
    if src == dst:
        return True
    if src not in NTSIM_RANK or dst not in NTSIM_RANK:
        return False  # a folder the layering does not know yet must be placed first
    if src == "kernel":
        return False
    return NTSIM_RANK[dst] < NTSIM_RANK[src] or (NTSIM_RANK[dst] == NTSIM_RANK[src] == 1)


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
        rel = path.relative_to(src).parts
        folder = rel[0]
        for target in INCLUDE.findall(path.read_text(errors="replace")):
            parts = target.split("/")
            if len(parts) < 2:
                continue
            if folder == "ntsim" and parts[0] == "ntsim" and len(rel) > 2 and len(parts) > 2:
                if not ntsim_allowed(rel[1], parts[1]):
                    faults.append(f"{path.relative_to(root)}: includes {target} "
                                  f"(ntsim's {rel[1]} may not depend on {parts[1]})")
                continue
            if not allowed(folder, parts[0], target):
                faults.append(f"{path.relative_to(root)}: includes {target} ({folder} may not depend on {parts[0]})")
    for line in faults:
        print(line)
    print(f"layers: {len(faults)} include(s) against the layering")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parents[2]))
