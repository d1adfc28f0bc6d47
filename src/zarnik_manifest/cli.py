"""The `zarnik-manifest` command: create, verify, plan, inspect, hash, limits.

Exit codes: 0 success (for verify: the report is ok), 1 verification found errors, a
load plan was refused, creation failed, a file could not be hashed or a checksum did not
match, or standard output could not be written, 2 usage error, 3 the manifest cannot be
loaded at all, 4 internal error of the module, 130 interrupted.
Results go to stdout, diagnostics (one line each) and the progress indicator to stderr.

Every module call runs on a worker thread while the main thread waits in a way Ctrl-C
interrupts, so a call blocked on a pipe or hashing a large file never delays the exit.
"""

from __future__ import annotations

import argparse
import errno
import functools
import hashlib
import json
import os
import re
import stat
import sys
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from typing import IO, TYPE_CHECKING, Any, NoReturn, TypeVar

from . import __version__, creation
from . import _zarnik_manifest as _zm

if TYPE_CHECKING:
    from ._zarnik_manifest import CalibrationReport, EncoderDistortionReport, VerificationReport

PROG = "zarnik-manifest"

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_UNLOADABLE = 3
EXIT_INTERNAL = 4
EXIT_INTERRUPTED = 130

LIMIT_NAMES = (
    "max_manifest_bytes",
    "max_row_map_line_bytes",
    "max_row_map_rows",
    "max_row_map_tracked_id_bytes",
    "max_auxiliary_artifacts",
    "max_auxiliary_artifact_bytes",
    "max_calibration_profile_bytes",
    "max_encoder_distortion_profile_bytes",
    "max_report_issues",
    "max_cached_report_bytes",
)
_U64_MAX = (1 << 64) - 1

# The limit behind each reason code that says a limit was reached.
LIMIT_OF_CODE = {
    "manifest_file_too_large": "max_manifest_bytes",
    "row_identity_line_too_large": "max_row_map_line_bytes",
    "row_identity_row_count_limit_exceeded": "max_row_map_rows",
    "row_identity_duplicate_tracking_limit_exceeded": "max_row_map_tracked_id_bytes",
    "auxiliary_artifact_count_limit_exceeded": "max_auxiliary_artifacts",
    "auxiliary_artifact_file_too_large": "max_auxiliary_artifact_bytes",
    "calibration_profile_too_large": "max_calibration_profile_bytes",
    "encoder_distortion_profile_too_large": "max_encoder_distortion_profile_bytes",
    "verification_report_issue_limit_exceeded": "max_report_issues",
}

# Texts of verify_for_load's refusals (every other ValueError is a loading error).
_REFUSAL_PREFIXES = ("manifest verification failed", "verified report ", "verified auxiliary artifact ")
# A module error text that starts with its reason code: "code: message".
_CODED_TEXT = re.compile(r"([a-z0-9]+(?:_[a-z0-9]+)+): (.*)", re.DOTALL)
# White space as the verifier trims it (Unicode White_Space; not Python's str.strip set).
_WHITE_SPACE = "\t\n\v\f\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008\u2009\u200a" \
               "\u2028\u2029\u202f\u205f\u3000"

T = TypeVar("T")


class UsageError(Exception):
    """A command line that cannot be run; reported as one line with exit code 2."""


class _ShowVersion(Exception):
    """Raised by --version, so that the version goes through the checked output path."""


class _OutputFailed(Exception):
    """Standard output could not be written."""

    def __init__(self, error: OSError) -> None:
        super().__init__(error)
        self.error = error


# ---- argument parsing -------------------------------------------------------------------


def _flag(name: str) -> str:
    return "--" + name.replace("_", "-")


def _limit_value(text: str) -> int:
    # Plain decimal digits only: no sign, no underscores, no spaces, no 0x.
    if not text.isascii() or not text.isdigit():
        raise argparse.ArgumentTypeError(f"expected a non-negative integer, got {text!r}")
    value = int(text)
    if value > _U64_MAX:
        raise argparse.ArgumentTypeError(f"{text} exceeds the largest limit {_U64_MAX}")
    return value


class _AuxAction(argparse.Action):
    """Collects --aux and --optional-aux into one list, in command-line order."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: object, option_string: str | None = None) -> None:
        text = str(values)
        name, sep, path = text.partition("=")
        if not sep or not name or not path:
            raise argparse.ArgumentError(self, f"expected NAME=PATH, got {text!r}")
        items = list(getattr(namespace, self.dest) or [])
        items.append({"name": name, "path": path, "required": self.const})
        setattr(namespace, self.dest, items)


def _reject_constant(name: str) -> object:
    raise ValueError(f"{name} is not JSON")


def _strict_json(text: str | bytes) -> object:
    """Parses JSON text, refusing NaN and Infinity (which are not JSON) and nesting deeper
    than the interpreter can follow (ValueError for all)."""
    try:
        return json.loads(text, parse_constant=_reject_constant)
    except RecursionError:
        raise ValueError("nested too deeply") from None


class _ExtensionAction(argparse.Action):
    """Collects --extension KEY=JSON into a dict; a key given twice is a usage error."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: object, option_string: str | None = None) -> None:
        text = str(values)
        key, sep, value = text.partition("=")
        if not sep or not key:
            raise argparse.ArgumentError(self, f"expected KEY=JSON, got {text!r}")
        items = dict(getattr(namespace, self.dest) or {})
        if key in items:
            raise argparse.ArgumentError(self, f"extension {key!r} given twice")
        try:
            items[key] = _strict_json(value)
        except ValueError as exc:
            raise argparse.ArgumentError(self, f"the value of {key!r} is not JSON: {exc}") from None
        setattr(namespace, self.dest, items)


class _VersionAction(argparse.Action):
    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, help=kwargs.get("help"))

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: object, option_string: str | None = None) -> None:
        raise _ShowVersion()


class _Parser(argparse.ArgumentParser):
    """An argparse parser whose errors are one line on stderr and exit code 2."""

    def error(self, message: str) -> NoReturn:
        raise UsageError(message)


def _add_limits(p: argparse.ArgumentParser, names: Sequence[str] = LIMIT_NAMES) -> None:
    group = p.add_argument_group("resource limits (plain non-negative integers; default: the module's)")
    for name in names:
        group.add_argument(_flag(name), dest=name, type=_limit_value, metavar="N")


def _add_policy(p: argparse.ArgumentParser, duplicates: bool) -> None:
    p.add_argument("--allow-absolute-paths", action="store_true", help="accept absolute paths in the manifest")
    p.add_argument("--allow-path-escape", action="store_true",
                   help="accept paths that leave the manifest's directory")
    if duplicates:
        p.add_argument("--allow-duplicate-db-ids", action="store_true",
                       help="accept a row map that repeats a db_id")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description="Create, verify and inspect zarnik index manifests.",
                     epilog="exit codes: 0 ok, 1 verification or command failed, 2 usage error, "
                            "3 manifest cannot be loaded, 4 internal error, 130 interrupted")
    parser.add_argument("--version", action=_VersionAction, help="print the version and exit")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    sub.required = True

    p = sub.add_parser("create", help="write a manifest for an index file")
    p.add_argument("index", metavar="INDEX", help="the index file")
    p.add_argument("-o", "--out", required=True, metavar="OUT", help="the manifest file to write")
    p.add_argument("--model", required=True, metavar="NAME", help="embedding model name (not blank)")
    rows = p.add_mutually_exclusive_group(required=True)
    rows.add_argument("--row-map", metavar="PATH", help="JSON-lines row map")
    rows.add_argument("--identity", action="store_true", help="index row numbers are the row identifiers")
    p.add_argument("--aux", dest="aux", action=_AuxAction, const=True, metavar="NAME=PATH",
                   help="a required auxiliary file (repeatable)")
    p.add_argument("--optional-aux", dest="aux", action=_AuxAction, const=False, metavar="NAME=PATH",
                   help="an optional auxiliary file (repeatable)")
    _add_policy(p, duplicates=False)
    p.add_argument("-q", "--quiet", action="store_true", help="print nothing on success")
    fields = p.add_argument_group("optional fields (the new manifest is verified before it is written)")
    for name in creation.EMBEDDING_FIELDS:
        fields.add_argument(_flag(name), dest=name, metavar="TEXT", help=f"embedding.{name}")
    for name in creation.BUILD_FIELDS:
        fields.add_argument(_flag(name), dest=name, metavar="TEXT",
                            help=f"build.{name}" + (" (default: zarnik-manifest)" if name == "builder_id" else ""))
    fields.add_argument("--extension", dest="extensions", action=_ExtensionAction, metavar="KEY=JSON",
                        help="an extension: a namespaced key and a JSON value (repeatable)")
    fields.add_argument("--attestation", dest="attestations", action="append", metavar="FILE",
                        help="a JSON file holding one attestation, e.g. an in-toto statement (repeatable)")
    _add_limits(p)

    p = sub.add_parser("verify", help="verify a manifest against its files")
    p.add_argument("manifest", metavar="MANIFEST")
    p.add_argument("--index", metavar="PATH", help="verify this file as the index artifact")
    _add_policy(p, duplicates=True)
    out = p.add_mutually_exclusive_group()
    out.add_argument("--json", action="store_true",
                     help="print the full report as JSON (or an error document when the manifest cannot be loaded)")
    out.add_argument("-q", "--quiet", action="store_true", help="print only the issues, and only on failure")
    _add_limits(p)

    p = sub.add_parser("plan", help="verify for loading and print the load plan (or an error document) as JSON")
    p.add_argument("manifest", metavar="MANIFEST")
    p.add_argument("--index", metavar="PATH", help="verify this file as the index artifact")
    _add_policy(p, duplicates=True)
    p.add_argument("-q", "--quiet", action="store_true", help="no progress indicator")
    _add_limits(p)

    p = sub.add_parser("inspect", help="print a manifest as pretty JSON, without checking files")
    p.add_argument("manifest", metavar="MANIFEST")
    _add_limits(p, ("max_manifest_bytes",))

    p = sub.add_parser("hash", help="print SHA-256 digests in the format sha256sum -c reads, or check them")
    p.add_argument("files", nargs="+", metavar="FILE", help="files to hash (- for standard input)")
    p.add_argument("-c", "--check", action="store_true", help="read digests from the FILEs and check them")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress indicator; with --check, no OK lines")
    p.add_argument("--status", action="store_true", help="with --check: print nothing, the exit code tells")
    p.add_argument("--strict", action="store_true", help="with --check: fail on improperly formatted lines")
    p.add_argument("-w", "--warn", action="store_true", help="with --check: warn about each improperly formatted line")

    p = sub.add_parser("limits", help="show the default resource limits")
    p.add_argument("--json", action="store_true", help="print them as JSON")
    return parser


def _limits(args: argparse.Namespace) -> dict[str, int]:
    return {name: getattr(args, name) for name in LIMIT_NAMES if getattr(args, name, None) is not None}


# ---- output ----------------------------------------------------------------------------


class _ClosedStdout:
    """Stands in for a standard output that was closed when the process started."""

    def write(self, data: str | bytes) -> int:
        if not data:
            return 0
        raise OSError(errno.EBADF, os.strerror(errno.EBADF))

    def flush(self) -> None:
        pass

    def isatty(self) -> bool:
        return False

    @property
    def buffer(self) -> _ClosedStdout:
        return self


def _stdout() -> Any:
    return sys.stdout if sys.stdout is not None else _ClosedStdout()


def _emit(text: str) -> None:
    """Writes `text` to stdout and flushes it; any failure becomes _OutputFailed."""
    try:
        out = _stdout()
        out.write(text)
        out.flush()
    except OSError as exc:
        raise _OutputFailed(exc) from None


def _emit_bytes(data: bytes) -> None:
    try:
        out = _stdout()
        out.flush()
        out.buffer.write(data)
        out.buffer.flush()
    except OSError as exc:
        raise _OutputFailed(exc) from None


def _discard_stdout() -> None:
    """Points file descriptor 1 at /dev/null, so that the interpreter's final flush of
    what could not be written succeeds silently instead of reporting a second error."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        if devnull != 1:
            os.dup2(devnull, 1)
            os.close(devnull)
    except OSError:
        pass


def _guard_closed_stdout() -> None:
    # With descriptor 1 closed, the next file opened would become "standard output"; keep
    # it taken by /dev/null. Python has set sys.stdout to None; _stdout() reports EBADF.
    try:
        os.fstat(1)
    except OSError:
        _discard_stdout()


def _display(path: str) -> str:
    """A command-line path as printable text (undecodable bytes become U+FFFD)."""
    return os.fsencode(path).decode("utf-8", "replace")


def _use_colour(stream: IO[str]) -> bool:
    return not os.environ.get("NO_COLOR") and stream.isatty()


def _paint(text: str, code: str, stream: IO[str]) -> str:
    return f"\033[{code}m{text}\033[0m" if _use_colour(stream) else text


def _fail(message: str) -> None:
    try:
        sys.stderr.write(f"{PROG}: {message}\n")
        sys.stderr.flush()
    except (AttributeError, OSError, ValueError):
        pass  # nowhere left to report to


def limit_hint(code: str) -> str | None:
    """The hint that follows an issue whose code says a limit was reached."""
    name = LIMIT_OF_CODE.get(code)
    return None if name is None else f"hint: raise this limit with {_flag(name)} N"


def _hints_in(text: str) -> list[str]:
    """The hints for every limit code named in a module error text, in the text's order."""
    found = sorted((m.start(), code) for code in LIMIT_OF_CODE for m in re.finditer(rf"\b{code}\b", text))
    hints: list[str] = []
    for _, code in found:
        hint = limit_hint(code)
        if hint is not None and hint not in hints:
            hints.append(hint)
    return hints


def _fail_with_hints(message: str) -> None:
    _fail(message)
    for hint in _hints_in(message):
        _fail(hint)


def _error_document(code: str, message: str) -> str:
    return json.dumps({"ok": False, "error": {"code": code, "message": message}}, indent=2, ensure_ascii=False) + "\n"


def load_error_code(exc: BaseException) -> tuple[str, str]:
    """The code and message of a manifest that could not be loaded, for the JSON error
    document: the module's reason code where its text starts with one."""
    text = str(exc)
    if isinstance(exc, OSError):
        return "manifest_unreadable", text
    coded = _CODED_TEXT.fullmatch(text)
    if coded is not None:
        return coded.group(1), coded.group(2)
    return "manifest_invalid", text


def _human_size(n: int) -> str:
    size = float(n)
    for unit in ("B", "KiB", "MiB", "GiB", "TiB"):
        if size < 1024 or unit == "TiB":
            return f"{int(size)} B" if unit == "B" else f"{size:.1f} {unit}"
        size /= 1024
    raise AssertionError("unreachable")


def _file_size(path: str | None) -> int | None:
    try:
        return os.stat(path).st_size if path is not None else None
    except (OSError, ValueError):  # ValueError: a NUL byte in the name
        return None


# ---- running module calls ------------------------------------------------------------------


class _Progress:
    """A one-line indicator on stderr, redrawn while a module call runs: what is being
    processed, the size of its file, the elapsed time. Drawn only on a terminal."""

    _FRAMES = "|/-\\"
    _DELAY = 0.25  # calls that finish sooner draw nothing
    _PERIOD = 0.1

    def __init__(self, label: str, size: int | None, enabled: bool) -> None:
        self.label = label
        self.size = size
        self.enabled = enabled
        self.drawn = False

    def draw(self, elapsed: float, tick: int) -> None:
        if not self.enabled or elapsed < self._DELAY:
            return
        size = f" ({_human_size(self.size)})" if self.size is not None else ""
        spinner = _paint(self._FRAMES[tick % len(self._FRAMES)], "36", sys.stderr)
        sys.stderr.write(f"\r\033[K{spinner} {self.label}{size} {elapsed:.1f}s")
        sys.stderr.flush()
        self.drawn = True

    def clear(self) -> None:
        if self.drawn:
            sys.stderr.write("\r\033[K")
            sys.stderr.flush()
            self.drawn = False


def _run(fn: Callable[[], T], label: str = "", size: int | None = None, quiet: bool = True) -> T:
    """Runs `fn` (a module call, which releases the GIL for its file work, or another
    blocking read) on a worker thread. This thread only waits on an Event with a timeout,
    which Ctrl-C interrupts, and draws the progress indicator meanwhile."""
    progress = _Progress(label, size, enabled=not quiet and sys.stderr is not None and sys.stderr.isatty())
    box: dict[str, object] = {}
    done = threading.Event()

    def work() -> None:
        try:
            box["result"] = fn()
        except BaseException as exc:  # re-raised on the calling thread
            box["error"] = exc
        finally:
            done.set()

    worker = threading.Thread(target=work, name="zarnik-manifest-call", daemon=True)
    start = time.monotonic()
    worker.start()
    tick = 0
    try:
        while not done.wait(_Progress._PERIOD):
            progress.draw(time.monotonic() - start, tick)
            tick += 1
    finally:
        progress.clear()
    if "error" in box:
        raise box["error"]  # type: ignore[misc]
    return box["result"]  # type: ignore[return-value]


def _load_error(exc: Exception, what: str) -> int:
    _fail_with_hints(f"cannot load manifest {what}: {exc}")
    return EXIT_UNLOADABLE


# ---- commands ---------------------------------------------------------------------------


def _unusable_input(path: str) -> str | None:
    """Why `path` cannot be read as an input file, or None when it looks readable. The
    module's own error for a missing file does not say which of the inputs it was."""
    try:
        if stat.S_ISDIR(os.stat(path).st_mode):
            return f"{_display(path)}: Is a directory"
    except OSError as exc:
        return f"{_display(path)}: {exc.strerror or exc}"
    if not os.access(path, os.R_OK):
        return f"{_display(path)}: Permission denied"
    return None


def _read_attestation(path: str, limit: int) -> object:
    """One attestation file as a JSON value, read up to `limit` bytes (the manifest that
    holds it could not be larger)."""
    with open(path, "rb") as fh:
        data = fh.read(limit + 1)
    if len(data) > limit:
        raise ValueError(f"attestation {_display(path)} is larger than max_manifest_bytes={limit}")
    try:
        return _strict_json(data)
    except ValueError as exc:
        raise ValueError(f"attestation {_display(path)} is not JSON: {exc}") from None


def cmd_create(args: argparse.Namespace) -> int:
    if not args.model.strip(_WHITE_SPACE):
        raise UsageError("argument --model: must not be blank")
    attestation_files = args.attestations or []
    inputs = [args.index, *([args.row_map] if args.row_map is not None else []),
              *(a["path"] for a in args.aux or []), *attestation_files]
    for path in inputs:
        problem = _unusable_input(path)
        if problem is not None:
            _fail(f"create failed: {problem}")
            return EXIT_FAILED
    kwargs: dict[str, Any] = dict(_limits(args))
    if args.row_map is not None:
        kwargs["row_map"] = args.row_map
    else:
        kwargs["row_id_is_identity"] = True
    if args.aux:
        kwargs["auxiliary_artifacts"] = args.aux
    fields = {name: getattr(args, name) for name in (*creation.EMBEDDING_FIELDS, *creation.BUILD_FIELDS)
              if getattr(args, name) is not None}
    label, size = f"creating manifest for {_display(args.index)}", _file_size(args.index)
    try:
        creation.refuse_input_as_output(args.out, [("attestation", path) for path in attestation_files])
        if fields or args.extensions or attestation_files:
            limit = kwargs.get("max_manifest_bytes", _zm.DEFAULT_MAX_MANIFEST_BYTES)
            attestations = [_run(functools.partial(_read_attestation, path, limit)) for path in attestation_files]
            manifest = _run(
                lambda: creation.create_manifest_with(
                    args.index, args.out, args.model, allow_absolute_paths=args.allow_absolute_paths,
                    allow_path_escape=args.allow_path_escape, extensions=args.extensions,
                    attestations=attestations, **fields, **kwargs),
                label, size, args.quiet)
        else:
            manifest = _run(
                lambda: _zm.create_manifest(args.index, args.out, args.model,
                                            allow_absolute_paths=args.allow_absolute_paths,
                                            allow_path_escape=args.allow_path_escape, **kwargs),
                label, size, args.quiet)
    except (OSError, ValueError) as exc:
        _fail_with_hints(f"create failed: {exc}")
        return EXIT_FAILED
    if not args.quiet:
        art = manifest["artifact"]
        _emit(f"manifest  {_display(args.out)}\n"
              f"artifact  {art['kind']}, {art['vector_count']} vectors\n"
              f"sha256    {art['sha256']}\n")
    return EXIT_OK


def _artifact_hint(args: argparse.Namespace) -> tuple[str, int | None]:
    """What a verification will spend its time on, for the progress line: the index
    override, else the artifact the manifest names (read only when progress is shown, and
    only from a regular file: a pipe's content must be left for the verification)."""
    if args.index is not None:
        return _display(args.index), _file_size(args.index)
    if args.quiet or sys.stderr is None or not sys.stderr.isatty():
        return _display(args.manifest), None
    try:
        if not stat.S_ISREG(os.stat(args.manifest).st_mode):
            return _display(args.manifest), None
        declared = _run(lambda: _zm.inspect_manifest(args.manifest, max_manifest_bytes=args.max_manifest_bytes)
                        )["artifact"]["path"]
    except (OSError, ValueError):
        return _display(args.manifest), None
    base = os.path.dirname(args.manifest)
    return _display(args.manifest), _file_size(os.path.join(base, declared))


def _verify_kwargs(args: argparse.Namespace) -> dict[str, Any]:
    return {
        "index": args.index,
        "allow_absolute_paths": args.allow_absolute_paths,
        "allow_path_escape": args.allow_path_escape,
        "allow_duplicate_db_ids": args.allow_duplicate_db_ids,
        **_limits(args),
    }


def _or_dash(value: object) -> str:
    return "-" if value is None else str(value)


def _issue_lines(issues: Sequence[Any], indent: str) -> list[str]:
    """`code: message` per issue, each limit issue followed by its hint."""
    lines = []
    for issue in issues:
        lines.append(f"{indent}{issue['code']}: {issue['message']}")
        hint = limit_hint(issue["code"])
        if hint is not None:
            lines.append(f"{indent}  {hint}")
    return lines


def format_summary(report: VerificationReport, manifest: str, stream: IO[str]) -> str:
    """The human-readable verification summary."""
    lines = [f"manifest      {manifest}", f"manifest id   {_or_dash(report['manifest_id'])}"]
    art = report["artifact"]
    meta = art["metadata"]
    where = art["canonical_path"] or art["observed_path"] or art["manifest_path"]
    lines.append(f"artifact      {_or_dash(where)}")
    if meta is not None:
        params = ", ".join(f"{k}={v}" for k, v in meta["params"].items() if k != "kind")
        lines.append(f"              {meta['kind']}{f' ({params})' if params else ''}, dim {meta['dim']}, "
                     f"{meta['vector_count']} vectors, {meta['file_size_bytes']} bytes")
    lines.append(f"              sha256 {_or_dash(art['sha256'])}")
    rows = report["row_identity"]
    row_text = _or_dash(rows["kind"])
    if rows["row_count"] is not None:
        row_text += f", {rows['row_count']} rows"
    if rows["validated_rows"] is not None:
        row_text += f", {rows['validated_rows']} validated"
    if rows["canonical_path"] or rows["manifest_path"]:
        row_text += f", {rows['canonical_path'] or rows['manifest_path']}"
    lines.append(f"row identity  {row_text}")
    aux = report["auxiliary_artifacts"]
    if not aux:
        lines.append("auxiliary     none")
    for i, entry in enumerate(aux):
        label = "auxiliary     " if i == 0 else "              "
        flag = "required" if entry["required"] else "optional"
        lines.append(f"{label}{entry['name']}: {entry['state']} ({flag}), "
                     f"{entry['canonical_path'] or entry['resolved_path'] or entry['manifest_path']}")
    profiles: tuple[tuple[str, CalibrationReport | EncoderDistortionReport], ...] = (
        ("calibration", report["calibration"]), ("distortion", report["encoder_distortion"]))
    for title, section in profiles:
        if not section["present"]:
            lines.append(f"{title:<14}absent")
        else:
            where = section["profile_canonical_path"] or section["profile_manifest_path"]
            lines.append(f"{title:<14}{_or_dash(section['profile_id'])}"
                         f"{', profile ' + where if where else ', no profile file'}")
    checks = report["attestation_shape_checks"]
    if not checks:
        lines.append("attestations  none")
    for i, check in enumerate(checks):
        label = "attestations  " if i == 0 else "              "
        matched = "subject matches" if check["subject_sha256_matched"] else "subject does not match"
        lines.append(f"{label}{_or_dash(check['predicate_type'])}, builder {_or_dash(check['builder_id'])}, {matched}")
    if report["skipped_checks"]:
        lines.append(f"skipped       {', '.join(report['skipped_checks'])}")
    errors, warnings = report["errors"], report["warnings"]
    if report["ok"]:
        lines.append(f"result        {_paint('OK', '32', stream)}")
    else:
        n = len(errors)
        lines.append(f"result        {_paint('FAILED', '31', stream)} ({n} error{'s' if n != 1 else ''})")
    for title, issues in (("errors", errors), ("warnings", warnings)):
        if issues:
            lines.append(f"{title}:")
            lines.extend(_issue_lines(issues, "  "))
    return "\n".join(lines) + "\n"


def cmd_verify(args: argparse.Namespace) -> int:
    label, size = _artifact_hint(args)
    try:
        report = _run(lambda: _zm.verify_manifest(args.manifest, **_verify_kwargs(args)),
                      f"verifying {label}", size, args.quiet)
    except (OSError, ValueError) as exc:
        if args.json:
            _emit(_error_document(*load_error_code(exc)))
        return _load_error(exc, _display(args.manifest))
    if args.json:
        _emit(json.dumps(report, indent=2, ensure_ascii=False) + "\n")
    elif args.quiet:
        lines = _issue_lines(report["errors"], "")
        _emit("".join(line + "\n" for line in lines))
    else:
        _emit(format_summary(report, _display(args.manifest), _stdout()))
    return EXIT_OK if report["ok"] else EXIT_FAILED


def cmd_plan(args: argparse.Namespace) -> int:
    label, size = _artifact_hint(args)
    try:
        plan = _run(lambda: _zm.verify_for_load(args.manifest, **_verify_kwargs(args)),
                    f"verifying {label}", size, args.quiet)
    except ValueError as exc:
        text = str(exc)
        if text.startswith(_REFUSAL_PREFIXES):
            code = "manifest_verification_failed" if text.startswith(_REFUSAL_PREFIXES[0]) else "load_plan_refused"
            _emit(_error_document(code, text))
            _fail_with_hints(f"load refused: {text}")
            return EXIT_FAILED
        _emit(_error_document(*load_error_code(exc)))
        return _load_error(exc, _display(args.manifest))
    except OSError as exc:
        _emit(_error_document(*load_error_code(exc)))
        return _load_error(exc, _display(args.manifest))
    _emit(json.dumps(plan, indent=2, ensure_ascii=False) + "\n")
    return EXIT_OK


def cmd_inspect(args: argparse.Namespace) -> int:
    try:
        manifest = _run(lambda: _zm.inspect_manifest(args.manifest, max_manifest_bytes=args.max_manifest_bytes))
    except (OSError, ValueError) as exc:
        return _load_error(exc, _display(args.manifest))
    _emit(json.dumps(manifest, indent=2, ensure_ascii=False) + "\n")
    return EXIT_OK


def sha256sum_line(digest: str, path: str) -> bytes:
    """One line as sha256sum writes it: a name holding a backslash, line feed or carriage
    return is escaped and the line starts with a backslash, so `sha256sum -c` reads it back."""
    name = os.fsencode(path)
    if any(c in name for c in b"\\\n\r"):
        name = name.replace(b"\\", b"\\\\").replace(b"\n", b"\\n").replace(b"\r", b"\\r")
        return b"\\" + digest.encode() + b"  " + name + b"\n"
    return digest.encode() + b"  " + name + b"\n"


def _hash_stdin() -> str:
    digest = hashlib.sha256()
    while True:
        chunk = os.read(0, 1 << 16)
        if not chunk:
            return digest.hexdigest()
        digest.update(chunk)


def _digest_of(path: str, quiet: bool) -> str:
    """The SHA-256 of a file, or of standard input for "-"; OSError when it cannot be read."""
    if path == "-":
        return _run(_hash_stdin, "hashing standard input", None, quiet)
    return _run(lambda: _zm.sha256_file(path), f"hashing {_display(path)}", _file_size(path), quiet)["sha256"]


def _os_error_text(exc: OSError) -> str:
    """The system's description of an I/O error, without the module's "(os error N)"."""
    return exc.strerror or re.sub(r" \(os error \d+\)$", "", str(exc))


def cmd_hash(args: argparse.Namespace) -> int:
    if not args.check:
        for flag in ("status", "strict", "warn"):
            if getattr(args, flag):
                raise UsageError(f"--{flag} is meaningful only with --check")
        return _hash_files(args)
    ok = True
    for sums in args.files:
        ok = _check_sums(sums, args) and ok
    return EXIT_OK if ok else EXIT_FAILED


def _hash_files(args: argparse.Namespace) -> int:
    status = EXIT_OK
    for path in args.files:
        try:
            digest = _digest_of(path, args.quiet)
        except OSError as exc:
            _fail(f"{_display(path)}: {_os_error_text(exc)}")
            status = EXIT_FAILED
            continue
        _emit_bytes(sha256sum_line(digest, path))
    return status


_HEX = frozenset(b"0123456789abcdefABCDEF")
_BLANK = b" \t"


def _unescape_name(name: bytes) -> bytes | None:
    """A file name as written after a leading backslash: \\\\ and \\n (and \\r) stand for
    the character; any other escape makes the line improperly formatted."""
    out = bytearray()
    i = 0
    while i < len(name):
        c = name[i]
        if c == 0x5C:
            if i + 1 == len(name) or name[i + 1] not in b"\\nr":
                return None
            out += {0x5C: b"\\", 0x6E: b"\n", 0x72: b"\r"}[name[i + 1]]
            i += 2
        else:
            out.append(c)
            i += 1
    return bytes(out)


class _SumsParser:
    """Reads checksum lines as `sha256sum -c` does: `HEX  NAME` or `HEX *NAME`, the BSD
    tagged form `SHA256 (NAME) = HEX`, and `HEX NAME` when every line of the file uses it;
    a leading backslash marks an escaped name."""

    def __init__(self) -> None:
        self.single_space: bool | None = None  # decided by the first untagged line

    def parse(self, s: bytes) -> tuple[bytes, bytes] | None:
        i = 0
        while i < len(s) and s[i] in _BLANK:
            i += 1
        escaped = s[i:i + 1] == b"\\"
        i += escaped
        if s.startswith(b"SHA256", i):
            i += 6
            i += s[i:i + 1] == b" "
            if s[i:i + 1] != b"(":
                return None
            return self._tagged(s[i + 1:], escaped)
        if len(s) - i < 64 + 2:
            return None
        digest = s[i:i + 64]
        i += 64
        if s[i] not in _BLANK:
            return None
        i += 1
        if len(s) - i == 1 or s[i] not in b" *":
            if self.single_space is False:
                return None
            self.single_space = True
        elif self.single_space is not True:
            self.single_space = False
            i += 1
        name: bytes | None = s[i:]
        if escaped:
            name = _unescape_name(s[i:])
        return None if name is None else (digest, name)

    @staticmethod
    def _tagged(s: bytes, escaped: bool) -> tuple[bytes, bytes] | None:
        end = s.rfind(b")")
        if end < 0:
            return None
        name = _unescape_name(s[:end]) if escaped else s[:end]
        rest = s[end + 1:].lstrip(_BLANK)
        if name is None or not rest.startswith(b"="):
            return None
        return rest[1:].lstrip(_BLANK), name


# No properly formatted line comes near this (64 digits and a name of at most PATH_MAX
# bytes, escaped); a longer one is improperly formatted and is skipped without being held.
_MAX_SUMS_LINE = 1 << 16


def _sums_lines(sums: str) -> Iterator[bytes | None]:
    """The lines of a checksum file ("-": standard input), read in 1 MiB pieces on the
    worker thread, so that a file of any length is checked as it arrives; None stands for a
    line longer than _MAX_SUMS_LINE. OSError when the file cannot be opened or read."""
    fd = 0 if sums == "-" else _run(lambda: os.open(sums, os.O_RDONLY | os.O_CLOEXEC))
    try:
        pending: list[bytes] = []
        held = 0
        overlong = False
        while chunk := _run(lambda: os.read(fd, 1 << 20)):
            *complete, rest = chunk.split(b"\n")
            for piece in complete:
                held += len(piece)
                if overlong or held > _MAX_SUMS_LINE:
                    yield None
                else:
                    yield b"".join([*pending, piece])
                pending, held, overlong = [], 0, False
            if rest and not overlong:
                held += len(rest)
                if held > _MAX_SUMS_LINE:
                    pending, overlong = [], True
                else:
                    pending.append(rest)
        if overlong:
            yield None
        elif pending:
            yield b"".join(pending)
    finally:
        if fd != 0:
            os.close(fd)


def _check_sums(sums: str, args: argparse.Namespace) -> bool:
    """Checks one checksum file; True when every line was properly formatted (or --strict
    is off), at least one was, and every listed file was read and matched."""
    from_stdin = sums == "-"
    shown = "standard input" if from_stdin else _display(sums)
    parser = _SumsParser()
    formatted = misformatted = unreadable = mismatched = 0
    try:
        for number, line in enumerate(_sums_lines(sums), 1):
            if line is None:
                misformatted += 1
                if args.warn:
                    _fail(f"{shown}: {number}: improperly formatted SHA256 checksum line")
                continue
            if line.startswith(b"#"):
                continue
            if line.endswith(b"\r"):
                line = line[:-1]
            if not line:
                continue
            parsed = parser.parse(line)
            if parsed is None or len(parsed[0]) != 64 or not _HEX.issuperset(parsed[0]) \
                    or (from_stdin and parsed[1] == b"-"):
                misformatted += 1
                if args.warn:
                    _fail(f"{shown}: {number}: improperly formatted SHA256 checksum line")
                continue
            formatted += 1
            ok = _check_line(*parsed, args)
            unreadable += ok is None
            mismatched += ok is False
    except OSError as exc:
        _fail(f"{shown}: {_os_error_text(exc)}")
        return False
    if not formatted:
        _fail(f"{shown}: no properly formatted checksum lines found")
        return False
    if not args.status:
        for count, one, many in ((misformatted, "line is improperly formatted", "lines are improperly formatted"),
                                 (unreadable, "listed file could not be read", "listed files could not be read"),
                                 (mismatched, "computed checksum did NOT match", "computed checksums did NOT match")):
            if count:
                _fail(f"WARNING: {count} {one if count == 1 else many}")
    return mismatched == 0 and unreadable == 0 and not (args.strict and misformatted)


def _check_line(digest: bytes, name: bytes, args: argparse.Namespace) -> bool | None:
    """Hashes one listed file and prints its verdict: True when it matches, False when it
    does not, None when it cannot be read."""
    path = os.fsdecode(name)
    # As sha256sum -c prints it: escaped (and marked by a leading backslash) only when the
    # name holds a line feed.
    printed = b"\\" + name.replace(b"\\", b"\\\\").replace(b"\n", b"\\n") if b"\n" in name else name
    try:
        if "\0" in path:
            raise ValueError("path contains a NUL byte")  # names no file; never cut short
        actual = _digest_of(path, args.quiet or args.status)
    except (OSError, ValueError) as exc:
        _fail(f"{_display(path)}: {_os_error_text(exc) if isinstance(exc, OSError) else exc}")
        if not args.status:
            _emit_bytes(printed + b": FAILED open or read\n")
        return None
    if actual != digest.decode("ascii").lower():
        if not args.status:
            _emit_bytes(printed + b": FAILED\n")
        return False
    if not args.status and not args.quiet:
        _emit_bytes(printed + b": OK\n")
    return True


def cmd_limits(args: argparse.Namespace) -> int:
    limits = _run(_zm.default_resource_limits)
    if args.json:
        _emit(json.dumps(limits, indent=2) + "\n")
        return EXIT_OK
    width = max(len(_flag(name)) for name in limits)
    _emit("".join(f"{_flag(name):<{width}}  {value}\n" for name, value in limits.items()))
    return EXIT_OK


COMMANDS: dict[str, Callable[[argparse.Namespace], int]] = {
    "create": cmd_create,
    "verify": cmd_verify,
    "plan": cmd_plan,
    "inspect": cmd_inspect,
    "hash": cmd_hash,
    "limits": cmd_limits,
}


def _interrupted() -> NoReturn:
    # A call may still be running on the worker thread: remove the temporary files of a
    # creation in progress and leave without waiting for it.
    creation.abandon_temporaries()
    try:
        _stdout().flush()
    except (OSError, ValueError):
        pass
    _discard_stdout()
    try:
        sys.stderr.write("\r\033[K" if sys.stderr.isatty() else "")
        sys.stderr.write("interrupted\n")
        sys.stderr.flush()
    except (AttributeError, OSError, ValueError):
        pass
    os._exit(EXIT_INTERRUPTED)


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line `argv` (default: sys.argv[1:]) and returns the exit code."""
    json_errors = False  # the command promises one JSON document on stdout whatever happens
    try:
        _guard_closed_stdout()
        try:
            try:
                args = build_parser().parse_args(argv)
            except _ShowVersion:
                _emit(f"{PROG} {__version__}\n")
                return EXIT_OK
            json_errors = args.command == "plan" or (args.command == "verify" and args.json)
            code = COMMANDS[args.command](args)
            _emit("")  # flushes what is still buffered, so a failure is reported here
            return code
        except UsageError as exc:
            _fail(f"error: {exc} (see {PROG} --help)")
            return EXIT_USAGE
        except _OutputFailed as exc:
            _discard_stdout()
            _fail(f"cannot write to standard output: {_os_error_text(exc.error)}")
            return EXIT_FAILED
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as exc:  # the module's internal error derives from BaseException
            if json_errors:
                try:
                    _emit(_error_document("internal_error", f"{type(exc).__name__}: {exc}"))
                except _OutputFailed:
                    _discard_stdout()
            _fail(f"internal error: {type(exc).__name__}: {exc}")
            return EXIT_INTERNAL
    except KeyboardInterrupt:
        _interrupted()


def run() -> NoReturn:
    """Entry point of the console script."""
    sys.exit(main())
