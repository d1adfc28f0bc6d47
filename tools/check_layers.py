#!/usr/bin/env python3
"""Fails when an #include under native/ points up or sideways (docs/architecture.md).
Usage: tools/check_layers.py [NATIVE_DIR]"""
import re
import sys
from pathlib import Path

# Layers from the top down; each may include itself and the folders listed for it.
LAYERS = {"python": "manifest index_format json io text base", "manifest": "index_format json io text base",
          "index_format": "io text base", "json": "text base", "io": "text base", "text": "base", "base": ""}
ALLOWED = {layer: set(below.split()) for layer, below in LAYERS.items()}
ORDER = list(ALLOWED)
# text/ and json/ make no system calls: only these base headers, no system interface.
PURE_LAYERS = {"text", "json"}
PURE_BASE = ["base/error.h", "base/siphash.h"]
SYSTEM = re.compile(r"sys/.*|unistd\.h|fcntl\.h|dirent\.h|time\.h|ctime|chrono|random|signal\.h|csignal|"
                    r"pthread\.h|thread")
INCLUDE = re.compile(r'\s*#\s*include\s*([<"])([^>"]+)[>"]')


def problem(layer, bracket, target):
    dest = target.split("/")[0]
    if bracket == "<":
        if target == "Python.h" and layer != "python":
            return "only python/ may include <Python.h>"
        if layer in PURE_LAYERS and SYSTEM.fullmatch(target):
            return f"{layer}/ makes no system calls, so may not include <{target}>"
    elif dest != layer and dest not in ALLOWED[layer]:
        way = "up" if dest in ORDER and ORDER.index(dest) < ORDER.index(layer) else "sideways"
        may = ", ".join(d for d in ORDER if d in ALLOWED[layer]) or "no other layer"
        return f'"{target}" points {way}; {layer}/ may include {may}'
    elif layer in PURE_LAYERS and dest == "base" and target not in PURE_BASE:
        return f'"{target}" makes system calls; {layer}/ may include only {", ".join(PURE_BASE)}'
    return None


def main():
    root = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent / "native"
    found = []
    for path in sorted(p for p in root.rglob("*") if p.suffix in {".h", ".cpp", ".inc"}):
        rel = path.relative_to(root).as_posix()
        layer = rel.split("/")[0]
        if layer not in ALLOWED:
            found.append(f"native/{rel}: not in a layer folder ({', '.join(ORDER)})")
            continue
        for n, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
            m = INCLUDE.match(line)
            if m and (why := problem(layer, *m.groups())):
                found.append(f"native/{rel}:{n}: {why}")
    if found:
        print(*found, f"check_layers: {len(found)} include(s) break the layers of docs/architecture.md",
              sep="\n", file=sys.stderr)
        return 1
    print("check_layers: every include under native/ points down")
    return 0


if __name__ == "__main__":
    sys.exit(main())
