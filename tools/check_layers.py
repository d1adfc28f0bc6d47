#!/usr/bin/env python3
"""Fails when an #include under native/ points up or sideways (docs/architecture.md)."""
import re
import sys
from pathlib import Path

# Layers from the top down; each may include itself and the folders listed for it.
ALLOWED = {
    "python": {"manifest", "index_format", "json", "io", "text", "base"},
    "manifest": {"index_format", "json", "io", "text", "base"},
    "index_format": {"io", "text", "base"},
    "json": {"text", "base"},
    "io": {"text", "base"},
    "text": {"base"},
    "base": set(),
}
# text/ and json/ are pure: no system calls, so only these base headers and no system interface.
PURE_LAYERS = {"text", "json"}
PURE_BASE = {"base/error.h", "base/siphash.h"}
SYSTEM = re.compile(r"sys/.*|unistd\.h|fcntl\.h|dirent\.h|time\.h|ctime|chrono|random|signal\.h|csignal|"
                    r"pthread\.h|thread|Python\.h")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def problems(root):
    order = list(ALLOWED)
    for path in sorted(root.rglob("*")):
        if path.suffix not in {".h", ".cpp", ".inc"}:
            continue
        rel = path.relative_to(root).as_posix()
        layer = rel.split("/")[0]
        if layer not in ALLOWED:
            yield f"native/{rel}: not in a layer folder ({', '.join(order)})"
            continue
        for n, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
            m = INCLUDE.match(line)
            if not m:
                continue
            where, (kind, target) = f"native/{rel}:{n}", m.groups()
            if kind == "<":
                if target == "Python.h" and layer != "python":
                    yield f"{where}: only python/ may include <Python.h>"
                elif layer in PURE_LAYERS and SYSTEM.fullmatch(target):
                    yield f"{where}: {layer}/ is pure and may not include the system interface <{target}>"
                continue
            dest = target.split("/")[0]
            if dest == layer:
                continue
            if dest not in ALLOWED[layer]:
                way = "up" if dest in order and order.index(dest) < order.index(layer) else "sideways"
                allowed = ", ".join(sorted(ALLOWED[layer])) or "nothing else"
                yield f'{where}: "{target}" points {way} ({layer}/ may include {allowed})'
            elif layer in PURE_LAYERS and dest == "base" and target not in PURE_BASE:
                yield f'{where}: "{target}" makes system calls; {layer}/ may include only {sorted(PURE_BASE)}'


def main():
    root = Path(__file__).resolve().parent.parent / "native"
    found = list(problems(root))
    for p in found:
        print(p, file=sys.stderr)
    if found:
        print(f"check_layers: {len(found)} include(s) break the layers (docs/architecture.md)", file=sys.stderr)
        return 1
    print("check_layers: every include points down")
    return 0


if __name__ == "__main__":
    sys.exit(main())
