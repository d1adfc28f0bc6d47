"""Runs the main job on built-in sample data: `python -m zarnik_manifest.demo [DIR]`.

In DIR (default `demo-output/`) it writes a sample index of each of the
four formats, a row map and an auxiliary file, creates a manifest for each index,
verifies each one, shows the load plan of one, then corrupts one byte of an index and
shows the failed verification with its reason code. Then it does the same from the
command line: `zarnik-manifest create` with optional fields, `verify`, and the exit code
of `verify` once the index is corrupted. The files stay in DIR.
"""

from __future__ import annotations

import os
import shlex
import subprocess
import sys
from typing import TYPE_CHECKING

import zarnik_manifest as zm
from zarnik_manifest import samples

if TYPE_CHECKING:
    from zarnik_manifest._zarnik_manifest import AuxiliaryArtifactRequest

N_VECTORS = 6


def _rel(path: str, root: str) -> str:
    return os.path.relpath(path, root)


def _cli(tmp: str, *args: str) -> int:
    """Runs one zarnik-manifest command in `tmp`, echoing it and its output indented."""
    print(f"   $ zarnik-manifest {shlex.join(args)}")
    r = subprocess.run([sys.executable, "-m", "zarnik_manifest", *args], cwd=tmp, capture_output=True, text=True)
    for line in (r.stdout + r.stderr).splitlines():
        print(f"     {line}")
    return r.returncode


def _flip_byte(path: str, offset: int) -> None:
    with open(path, "r+b") as fh:
        fh.seek(offset)
        byte = fh.read(1)
        fh.seek(-1, os.SEEK_CUR)
        fh.write(bytes([byte[0] ^ 0xFF]))


def main(argv: list[str] | None = None) -> int:
    args = sys.argv[1:] if argv is None else argv
    tmp = os.path.abspath(args[0] if args else "demo-output")
    os.makedirs(tmp, exist_ok=True)  # every file the demo writes is written afresh
    files = samples.write_sample_set(tmp, n_vectors=N_VECTORS)
    print(f"1. sample data in {tmp}")
    for kind, path in files["indexes"].items():
        print(f"   {kind:<12} {_rel(path, tmp):<14} {os.path.getsize(path):>5} bytes")
    print(f"   row map      {_rel(files['row_map'], tmp):<14} {N_VECTORS} rows")
    print(f"   auxiliary    {_rel(files['auxiliary'], tmp)}")

    print("2. create_manifest")
    manifests = {}
    for kind, index in files["indexes"].items():
        out = os.path.join(tmp, f"{kind}.manifest.json")
        use_rows = kind in ("rank_quant", "bitmap")
        aux_files: list[AuxiliaryArtifactRequest] | None = [{"name": "tokenizer", "path": files["auxiliary"]}] if kind == "rank_quant" else None
        m = zm.create_manifest(index, out, "demo-encoder-v1", row_map=files["row_map"] if use_rows else None,
                               row_id_is_identity=not use_rows, auxiliary_artifacts=aux_files)
        manifests[kind] = out
        art = m["artifact"]
        aux = len(m.get("auxiliary_artifacts", []))
        print(f"   {_rel(out, tmp):<26} {art['kind']:<12} dim={art['dim']:<3} vectors={art['vector_count']} "
              f"rows={m['row_identity']['kind']:<15} auxiliary={aux} path={art['path']}")

    print("3. verify_manifest")
    for kind, out in manifests.items():
        report = zm.verify_manifest(out)
        codes = ", ".join(i["code"] for i in report["errors"]) or "no issues"
        print(f"   {kind:<12} ok={report['ok']!s:<5} {codes}")

    print("4. verify_for_load of the rank_quant manifest")
    try:
        plan = zm.verify_for_load(manifests["rank_quant"])
    except ValueError as exc:
        print(f"   refused: {exc}")
    else:
        print(f"   artifact_path  {_rel(plan['artifact_path'], tmp)}")
        meta = plan["metadata"]
        print(f"   metadata       kind={meta['kind']} dim={meta['dim']} vectors={meta['vector_count']} "
              f"bytes_per_vec={meta['bytes_per_vec']}")
        rows = plan["row_identity"]
        print(f"   row_identity   {rows['kind']} rows={rows['row_count']} validated={rows['validated_rows']}")
        for entry in plan["auxiliary_artifacts"]:
            print(f"   auxiliary      {entry['name']} state={entry['state']} size={entry['size_bytes']}")

    print("5. corrupt one payload byte of the bitmap index and verify again")
    _flip_byte(files["indexes"]["bitmap"], samples.HEADER_BYTES["bitmap"])
    report = zm.verify_manifest(manifests["bitmap"])
    print(f"   ok={report['ok']}")
    for issue in report["errors"]:
        print(f"   {issue['code']}: {issue['message']}")

    print("6. the command line: create with optional fields, verify, then corrupt the index")
    sign = _rel(files["indexes"]["sign_bitmap"], tmp)
    _cli(tmp, "create", sign, "-o", "cli.manifest.json", "--model", "demo-encoder-v1", "--identity",
         "--model-revision", "2024-06", "--pooling", "mean", "--extension", 'demo.owner="search-team"')
    code = _cli(tmp, "verify", "cli.manifest.json", "--quiet")
    print(f"     exit code {code}")
    _flip_byte(files["indexes"]["sign_bitmap"], samples.HEADER_BYTES["sign_bitmap"])
    code = _cli(tmp, "verify", "cli.manifest.json", "--quiet")
    print(f"     exit code {code} (0 sound, 1 errors found, 3 manifest unreadable)")
    print(f"The files are in {_rel(tmp, os.getcwd())}/ (run any zarnik-manifest command on them there).")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
