#!/usr/bin/env python3
"""Injects the faults in tools/mutants.toml one at a time and records which tests catch each.

    mutants.py [SOURCE] [--ids a,b] [--out FILE] [--resume]   run (SOURCE: tree to measure, default .)
    mutants.py [SOURCE] --fast [--order BEFORE.json]          caught or not: stop at the first failure
    mutants.py --compare BEFORE.json AFTER.json               faults caught before but not after (exit 1)
    mutants.py --by-test MATRIX.json                          per test id: faults it catches, sole or shared
    mutants.py --summary MATRIX.json                          the summary of a finished run

SOURCE is copied into a scratch tree (default /work/mut-scratch) with its own Release build, so
the measured checkout is never modified and only the file a fault touches recompiles. The matrix
maps each fault id to {"compiled": bool, "failed": [test ids]} (native cases as "native::NAME");
"_baseline" is the run with no fault, which must fail nothing. A suite that outlives the timeout
counts as catching the fault and is recorded as "<suite>::(timeout)". With --fast a fault's run
ends at its first failing test (native cases first, then pytest -x, the test files that caught it
in the --order matrix first): enough to compare what is caught, in a fraction of the time.
"""
import argparse
import json
import os
import signal
import subprocess
import sys
import time
import tomllib
from pathlib import Path

HERE = Path(__file__).resolve().parent
SKIP_DIRS = {".git", "build", ".venv", "__pycache__", ".pytest_cache", ".mypy_cache"}


def sync_tree(source: Path, dest: Path) -> None:
    """Makes dest a copy of source's files; files whose bytes are unchanged keep their mtime,
    so the scratch build stays incremental across runs."""
    wanted = set()
    for root, dirs, files in os.walk(source):
        dirs[:] = [d for d in dirs if d not in SKIP_DIRS]
        for name in files:
            if name.endswith(".so"):
                continue
            rel = Path(root, name).relative_to(source)
            wanted.add(rel)
            data = (source / rel).read_bytes()
            target = dest / rel
            if not target.exists() or target.read_bytes() != data:
                target.parent.mkdir(parents=True, exist_ok=True)
                target.write_bytes(data)
    for root, dirs, files in os.walk(dest):
        for name in files:
            rel = Path(root, name).relative_to(dest)
            if rel not in wanted and not name.endswith(".so") and "__pycache__" not in rel.parts:
                (dest / rel).unlink()


def run(cmd: list[str], cwd: Path, timeout: float, env: dict | None = None) -> tuple[int | None, str]:
    """Output and exit code of cmd; None as the code when it outlived timeout (then its whole
    process group is killed)."""
    proc = subprocess.Popen(cmd, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, errors="replace", start_new_session=True)
    try:
        out, _ = proc.communicate(timeout=timeout)
        return proc.returncode, out
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, _ = proc.communicate()
        return None, out


class Scratch:
    def __init__(self, scratch: Path, python: str, timeout: float):
        self.tree, self.build = scratch / "tree", scratch / "build"
        self.python, self.timeout = python, timeout

    def configure(self) -> None:
        if (self.build / "CMakeCache.txt").exists():
            return
        subprocess.run([str(Path(self.python).parent / "cmake"), "-S", str(self.tree), "-B", str(self.build),
                        "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release", "-DZM_PYTHON_MODULE=ON",
                        f"-DPython_EXECUTABLE={self.python}",
                        f"-DZM_INPLACE_DIR={self.tree}/src/zarnik_manifest"], check=True,
                       stdout=subprocess.DEVNULL)

    def compile(self) -> bool:
        cmake = str(Path(self.python).parent / "cmake")
        code, out = run([cmake, "--build", str(self.build), "-j2"], self.tree, 3600)
        if code != 0:
            print(out[-3000:], file=sys.stderr)
        return code == 0

    def suites(self, fast: bool = False, first: list[str] = ()) -> list[str]:
        """Ids of every failing test: native cases, then pytest ids (fast: the first ones only)."""
        failed = []
        code, out = run([str(self.build / "native_tests")], self.tree, self.timeout)
        names = [line[len("FAILED "):].strip() for line in out.splitlines() if line.startswith("FAILED ")]
        failed += [f"native::{n}" for n in names]
        if code is None:
            failed.append("native::(timeout)")
        elif code != 0 and not names:
            failed.append(f"native::(exit {code})")
        if fast and failed:
            return failed
        env = {**os.environ, "PYTHONPATH": str(self.tree / "src"), "ZM_NATIVE_BUILD": str(self.build)}
        paths = [f for f in first if (self.tree / f).exists()] + ["tests"] if fast else ["tests"]
        code, out = run([self.python, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--tb=no", "-rfE",
                         *(["-x"] if fast else []), *paths], self.tree, self.timeout, env)
        ids = [line.split(" ", 1)[1].split(" - ", 1)[0].strip() for line in out.splitlines()
               if line.startswith(("FAILED ", "ERROR "))]
        failed += ids
        if code is None:
            failed.append("pytest::(timeout)")
        elif code not in (0, 1) and not ids:
            failed.append(f"pytest::(exit {code})")
        return failed


def measure(args: argparse.Namespace) -> int:
    source = Path(args.source).resolve()
    mutants = tomllib.loads(Path(args.mutants).read_text())["mutant"]
    if args.ids:
        chosen = set(args.ids.split(","))
        mutants = [m for m in mutants if m["id"] in chosen]
    out = Path(args.out)
    matrix = json.loads(out.read_text()) if args.resume and out.exists() else {}
    order = json.loads(Path(args.order).read_text()) if args.order else {}
    scratch = Scratch(Path(args.scratch).resolve(), args.python, args.timeout)
    sync_tree(source, scratch.tree)
    scratch.configure()
    head = subprocess.run(["git", "-C", str(source), "rev-parse", "HEAD"], capture_output=True, text=True).stdout
    matrix["_meta"] = {"source": str(source), "commit": head.strip(), "started": time.strftime("%Y-%m-%dT%H:%M:%SZ",
                                                                                                 time.gmtime())}

    def save() -> None:
        out.parent.mkdir(parents=True, exist_ok=True)
        out.write_text(json.dumps(matrix, indent=1, sort_keys=True) + "\n")

    t0 = time.monotonic()
    if "_baseline" not in matrix:
        if not scratch.compile():
            sys.exit("the unmodified tree does not build")
        matrix["_baseline"] = {"compiled": True, "failed": scratch.suites(), "seconds": round(time.monotonic() - t0)}
        save()
    print(f"baseline: {len(matrix['_baseline']['failed'])} failing, {matrix['_baseline']['seconds']} s", flush=True)
    if matrix["_baseline"]["failed"]:
        print("  baseline is not green:", *matrix["_baseline"]["failed"], sep="\n    ")
    for n, m in enumerate(mutants, 1):
        if m["id"] in matrix:
            continue
        t1 = time.monotonic()
        path = scratch.tree / m["file"]
        original = path.read_text()
        if original.count(m["find"]) != 1:
            matrix[m["id"]] = {"compiled": False, "failed": [], "anchor": original.count(m["find"])}
            print(f"[{n}/{len(mutants)}] {m['id']}: anchor found {original.count(m['find'])} times", flush=True)
            save()
            continue
        try:
            path.write_text(original.replace(m["find"], m["replace"]))
            compiled = scratch.compile()
            first = sorted({test_file(t) for t in order.get(m["id"], {}).get("failed", [])} - {"native"})
            failed = scratch.suites(args.fast, first) if compiled else []
        finally:
            path.write_text(original)
        matrix[m["id"]] = {"compiled": compiled, "failed": failed, "seconds": round(time.monotonic() - t1)}
        state = "DID NOT COMPILE" if not compiled else f"killed by {len(failed)}" if failed else "SURVIVED"
        print(f"[{n}/{len(mutants)}] {m['id']}: {state} ({matrix[m['id']]['seconds']} s)", flush=True)
        save()
    scratch.compile()  # leave the scratch build matching the source again
    matrix["_meta"]["seconds"] = round(time.monotonic() - t0)
    save()
    summary(matrix)
    return 0


def faults(matrix: dict) -> dict:
    return {k: v for k, v in matrix.items() if not k.startswith("_")}


def test_file(test_id: str) -> str:
    return "native" if test_id.startswith("native::") else test_id.split("::", 1)[0]


def summary(matrix: dict) -> None:
    fs = faults(matrix)
    killed = [k for k, v in fs.items() if v["compiled"] and v["failed"]]
    survived = [k for k, v in fs.items() if v["compiled"] and not v["failed"]]
    broken = [k for k, v in fs.items() if not v["compiled"]]
    print(f"\n{len(fs)} faults: {len(killed)} killed, {len(survived)} survived, {len(broken)} did not compile")
    for k in survived:
        print(f"  survived: {k}")
    for k in broken:
        print(f"  did not compile: {k}")
    sole: dict[str, int] = {}
    for k in killed:
        files = {test_file(t) for t in fs[k]["failed"]}
        for f in files:
            sole.setdefault(f, 0)
        if len(files) == 1:
            sole[files.pop()] += 1
    print("faults only this test file catches:")
    for f, count in sorted(sole.items(), key=lambda kv: (-kv[1], kv[0])):
        print(f"  {count:3}  {f}")


def by_test(matrix: dict) -> None:
    kills: dict[str, list[str]] = {}
    for k, v in faults(matrix).items():
        for t in v["failed"]:
            kills.setdefault(t, []).append(k if len(v["failed"]) > 1 else f"{k} (sole)")
    for t in sorted(kills):
        print(f"{t}\n    " + "\n    ".join(sorted(kills[t])))


def compare(before: dict, after: dict) -> int:
    lost = [k for k, v in faults(before).items()
            if v["compiled"] and v["failed"] and not (after.get(k, {}).get("compiled") and after[k]["failed"])]
    for k in lost:
        print(f"no longer caught: {k} (before: {', '.join(before[k]['failed'][:5])})")
    print(f"{len(lost)} fault(s) caught before but not after")
    return 1 if lost else 0


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("source", nargs="?", default=".")
    p.add_argument("--mutants", default=str(HERE / "mutants.toml"))
    p.add_argument("--scratch", default="build/mutants-scratch")
    p.add_argument("--out", default="build/mutants.json")
    p.add_argument("--ids", help="comma-separated fault ids (default: all)")
    p.add_argument("--resume", action="store_true", help="keep the faults already in --out")
    p.add_argument("--timeout", type=float, default=180.0, help="seconds per suite run")
    p.add_argument("--python", default=sys.executable, help="interpreter with the test requirements")
    p.add_argument("--fast", action="store_true", help="stop each fault's run at its first failing test")
    p.add_argument("--order", metavar="MATRIX", help="with --fast: run the test files that caught a fault here first")
    p.add_argument("--compare", nargs=2, metavar=("BEFORE", "AFTER"))
    p.add_argument("--by-test", metavar="MATRIX")
    p.add_argument("--summary", metavar="MATRIX")
    args = p.parse_args()
    if args.compare:
        return compare(*(json.loads(Path(f).read_text()) for f in args.compare))
    if args.by_test:
        by_test(json.loads(Path(args.by_test).read_text()))
        return 0
    if args.summary:
        summary(json.loads(Path(args.summary).read_text()))
        return 0
    return measure(args)


if __name__ == "__main__":
    sys.exit(main())
