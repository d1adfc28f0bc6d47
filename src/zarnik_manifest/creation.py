"""Creating a manifest that carries the optional descriptive fields.

`create_manifest` writes the fields it can establish itself. `create_manifest_with` writes
the same manifest and adds what only the caller knows: the embedding's revision, pooling
and normalisation, the build's provenance, extensions and attestations. The result is
checked by the verifier before it takes the output's place, so a value the verifier would
reject is never written.
"""

from __future__ import annotations

import json
import os
import stat
import threading
from collections.abc import Iterable, Mapping
from typing import TYPE_CHECKING, Any

from . import _zarnik_manifest as _zm

if TYPE_CHECKING:
    from ._zarnik_manifest import AuxiliaryArtifactRequest, IndexManifest, _StrPath

# Optional text fields of the embedding and build records, in the order the manifest
# writes them after the fields that creation fills itself.
EMBEDDING_FIELDS = ("model_revision", "tokenizer_revision", "pooling", "corpus_digest",
                    "embedding_matrix_digest", "normalization")
BUILD_FIELDS = ("builder_id", "source_repo", "source_commit", "ci_provider", "ci_run_id")

_EMBEDDING_ORDER = ("model", "dim", *EMBEDDING_FIELDS)
_BUILD_ORDER = ("invocation_id", *BUILD_FIELDS)
_TOP_ORDER = ("schema_version", "manifest_id", "created_at", "artifact", "auxiliary_artifacts", "embedding",
              "encoder_distortion", "calibration", "row_identity", "build", "attestations", "extensions")

# Temporary files of calls still running, so that an interrupted command line can remove
# them before it exits while the call itself is still blocked on another thread.
_pending: set[str] = set()
_pending_lock = threading.Lock()


def abandon_temporaries() -> None:
    """Removes the temporary files of every running call and keeps any call from creating
    another: the lock is taken and never given back, so call this only just before the
    process exits."""
    _pending_lock.acquire()
    for path in _pending:
        try:
            os.unlink(path)
        except OSError:
            pass
    _pending.clear()


def _track(path: str, add: bool) -> None:
    with _pending_lock:
        (_pending.add if add else _pending.discard)(path)


def _new_temporary(directory: str) -> str:
    """Creates an empty file with a short fresh name (never longer than 16 bytes) in
    `directory`, readable and writable by the owner only, and returns its path. Creating
    and recording it happen under one lock, so abandon_temporaries() sees every file."""
    for _ in range(16):
        path = os.path.join(directory, f".zm-{os.urandom(4).hex()}.tmp")
        with _pending_lock:
            try:
                fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
            except FileExistsError:
                continue
            _pending.add(path)
        os.close(fd)
        return path
    raise FileExistsError(f"no free temporary name in {directory}")


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass
    _track(path, False)


def _umask() -> int:
    # Read without setting it: os.umask() would change it for every thread for a moment.
    try:
        with open("/proc/self/status", encoding="ascii", errors="replace") as fh:
            for line in fh:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError, IndexError):
        pass
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def _same_file(a: os.stat_result, b: os.stat_result) -> bool:
    return (a.st_dev, a.st_ino) == (b.st_dev, b.st_ino)


def refuse_input_as_output(out: str, inputs: Iterable[tuple[str, str]]) -> None:
    """Raises ValueError when `out` exists and is one of `inputs`, given as (role, path)
    pairs (the same device and inode, after following links), in create_manifest's words:
    "out {out} is the same file as {role} {path}"."""
    try:
        target = os.stat(out)
    except OSError:
        return
    for role, path in inputs:
        try:
            same = _same_file(target, os.stat(path))
        except OSError:
            continue
        if same:
            raise ValueError(f"out {out} is the same file as {role} {path}")


def _ordered(record: Mapping[str, Any], order: tuple[str, ...]) -> dict[str, Any]:
    return {key: record[key] for key in order if key in record}


def _sorted_json(value: Any) -> Any:
    # The manifest writes every object inside extensions and attestations with its keys in
    # ascending order; writing them so here makes the file equal to what a load returns.
    if isinstance(value, Mapping):
        return {key: _sorted_json(value[key]) for key in sorted(value, key=lambda k: str(k).encode())}
    if isinstance(value, (list, tuple)):
        return [_sorted_json(item) for item in value]
    return value


def _write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def _write_straight(path: str, data: bytes) -> None:
    fd = os.open(path, os.O_WRONLY | os.O_CLOEXEC)
    try:
        _write_all(fd, data)
    finally:
        os.close(fd)


def _rewrite(path: str, data: bytes, mode: int) -> None:
    fd = os.open(path, os.O_WRONLY | os.O_TRUNC | os.O_CLOEXEC)
    try:
        _write_all(fd, data)
        os.fchmod(fd, mode)
        os.fsync(fd)
    finally:
        os.close(fd)


def _describe_issues(errors: Iterable[Mapping[str, Any]]) -> str:
    return "; ".join(f"{issue['code']}: {issue['message']}" for issue in errors)


def create_manifest_with(
    index: _StrPath,
    out: _StrPath,
    embedding_model: str,
    *,
    row_map: _StrPath | None = None,
    row_id_is_identity: bool = False,
    auxiliary_artifacts: Iterable[AuxiliaryArtifactRequest] | None = None,
    allow_absolute_paths: bool = False,
    allow_path_escape: bool = False,
    model_revision: str | None = None,
    tokenizer_revision: str | None = None,
    pooling: str | None = None,
    corpus_digest: str | None = None,
    embedding_matrix_digest: str | None = None,
    normalization: str | None = None,
    builder_id: str | None = None,
    source_repo: str | None = None,
    source_commit: str | None = None,
    ci_provider: str | None = None,
    ci_run_id: str | None = None,
    extensions: Mapping[str, Any] | None = None,
    attestations: Iterable[Any] | None = None,
    **limits: int | None,
) -> IndexManifest:
    """Writes the manifest `create_manifest` writes, with the given optional fields added,
    and returns it as `inspect_manifest` reads it back.

    The embedding fields (`model_revision`, `tokenizer_revision`, `pooling`, `corpus_digest`,
    `embedding_matrix_digest`, `normalization`) go into `embedding`; `builder_id` (replacing
    creation's own), `source_repo`, `source_commit`, `ci_provider` and `ci_run_id` into
    `build`; `extensions` (namespaced keys to JSON values) and `attestations` (JSON values,
    such as in-toto statements) into the top-level lists. None leaves a field out.

    The new manifest is verified, with the same path policy and limits (`max_*` keywords,
    as for `create_manifest`), before it replaces `out`: it is written to a temporary file
    beside `out`, and renamed over it only when verification finds no error, keeping the
    permission bits of a replaced file. An existing FIFO or device at `out` is written
    straight instead. On any failure `out` is left as it was and no temporary file remains.
    Verification reads the index and row map a second time.

    Raises ValueError when the verifier reports an error (the text lists each
    `code: message`), when `out` is one of the input files, or when a value is not JSON;
    TypeError for a field of the wrong type; and whatever `create_manifest` raises.
    """
    unknown = sorted(set(limits) - set(_zm.default_resource_limits()))
    if unknown:
        raise TypeError(f"create_manifest_with() got an unexpected keyword argument {unknown[0]!r}")
    limit_kwargs: dict[str, Any] = dict(limits)
    embedding = {"model_revision": model_revision, "tokenizer_revision": tokenizer_revision, "pooling": pooling,
                 "corpus_digest": corpus_digest, "embedding_matrix_digest": embedding_matrix_digest,
                 "normalization": normalization}
    build = {"builder_id": builder_id, "source_repo": source_repo, "source_commit": source_commit,
             "ci_provider": ci_provider, "ci_run_id": ci_run_id}
    for name, value in (*embedding.items(), *build.items()):
        if value is not None and not isinstance(value, str):
            raise TypeError(f"{name} must be str or None, not {type(value).__name__}")
    ext = dict(extensions or {})
    for key in ext:
        if not isinstance(key, str):
            raise TypeError(f"extension keys must be str, not {type(key).__name__}")
    atts = list(attestations or [])
    aux = list(auxiliary_artifacts or [])

    out_text = os.fsdecode(os.fspath(out))
    inputs = [(role, os.fsdecode(os.fspath(p))) for role, p in (("index", index), ("row_map", row_map))
              if p is not None]
    inputs += [(f'auxiliary artifact "{entry["name"]}"', os.fsdecode(os.fspath(entry["path"]))) for entry in aux]
    refuse_input_as_output(out_text, inputs)

    # Like create_manifest, replace the file a symbolic link at `out` leads to, not the link.
    target = os.path.realpath(out_text) if os.path.islink(out_text) else out_text
    try:
        existing: os.stat_result | None = os.stat(target)
    except FileNotFoundError:
        existing = None
    straight = existing is not None and not stat.S_ISREG(existing.st_mode)
    mode = stat.S_IMODE(existing.st_mode) if existing is not None and not straight else 0o666 & ~_umask()

    directory = os.path.dirname(out_text) or "."
    os.makedirs(directory, exist_ok=True)  # as create_manifest would, before any other file work
    temp = _new_temporary(directory)
    renamed = False
    try:
        manifest: dict[str, Any] = dict(_zm.create_manifest(
            index, temp, embedding_model, row_map=row_map, row_id_is_identity=row_id_is_identity,
            auxiliary_artifacts=aux or None, allow_absolute_paths=allow_absolute_paths,
            allow_path_escape=allow_path_escape, **limit_kwargs))
        manifest["embedding"] = _ordered({**manifest["embedding"],
                                          **{k: v for k, v in embedding.items() if v is not None}}, _EMBEDDING_ORDER)
        manifest["build"] = _ordered({**manifest["build"], **{k: v for k, v in build.items() if v is not None}},
                                     _BUILD_ORDER)
        if atts:
            manifest["attestations"] = _sorted_json(atts)
        if ext:
            manifest["extensions"] = _sorted_json(ext)
        text = json.dumps(_ordered(manifest, _TOP_ORDER), indent=2, ensure_ascii=False, allow_nan=False)
        _rewrite(temp, text.encode("utf-8"), mode)

        report = _zm.verify_manifest(temp, allow_absolute_paths=allow_absolute_paths,
                                     allow_path_escape=allow_path_escape, **limit_kwargs)
        if not report["ok"]:
            raise ValueError(f"the new manifest does not verify: {_describe_issues(report['errors'])}")
        result = _zm.inspect_manifest(temp, **limit_kwargs)

        if straight:
            _write_straight(out_text, text.encode("utf-8"))
        else:
            if os.path.dirname(target) != directory:
                # A link at `out` leads elsewhere, perhaps to another file system: the
                # verified bytes go through a temporary beside the file they replace (the
                # manifest's own paths stay relative to `out`, where it was verified).
                beside = _new_temporary(os.path.dirname(target) or ".")
                try:
                    _rewrite(beside, text.encode("utf-8"), mode)
                    os.replace(beside, target)
                finally:
                    _remove(beside)
                _remove(temp)
            else:
                os.replace(temp, target)
            renamed = True
            _track(temp, False)
            dir_fd = os.open(os.path.dirname(target) or ".", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
            try:
                os.fsync(dir_fd)
            except OSError:
                pass  # the data is synced; a directory that cannot be synced is not an error
            finally:
                os.close(dir_fd)
        return result
    finally:
        if not renamed:
            _remove(temp)
