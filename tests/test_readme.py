"""The README's examples run as written: the Python blocks in one namespace, then the
shell blocks under bash -e, in a scratch directory, with the package on the path."""

import os
import re
import subprocess
import sys
from pathlib import Path

README = Path(__file__).resolve().parent.parent / "README.md"


def blocks(lang: str) -> list[str]:
    return re.findall(rf"```{lang}\n(.*?)```", README.read_text(), re.S)


def test_readme_starts_with_make_demo_and_make_test():
    assert [line.split("#")[0].strip() for line in blocks(r"\w+")[0].strip().splitlines()] == ["make demo", "make test"]


def test_python_examples_run(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    namespace: dict = {}
    for block in blocks("python"):
        exec(compile(block, str(README), "exec"), namespace)
    assert namespace["report"]["ok"] and namespace["manifest"]["artifact"]["file_size_bytes"] == 30


def test_shell_examples_run(tmp_path):
    # `zarnik-manifest` as installed by pip: a shim running this interpreter's package.
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "zarnik-manifest").write_text(f'#!/bin/sh\nexec "{sys.executable}" -m zarnik_manifest "$@"\n')
    (bin_dir / "zarnik-manifest").chmod(0o755)
    (bin_dir / "python").symlink_to(sys.executable)
    env = {**os.environ, "PATH": f"{bin_dir}{os.pathsep}{os.environ['PATH']}", "PYTHONPATH": os.pathsep.join(sys.path)}
    r = subprocess.run(["bash", "-e", "-c", "\n".join(blocks("bash"))], cwd=tmp_path, env=env, capture_output=True,
                       text=True, timeout=120)
    assert r.returncode == 0, r.stdout + r.stderr
    assert "manifest ok" in r.stdout and "sample.zkrq: OK" in r.stdout and "Traceback" not in r.stderr
