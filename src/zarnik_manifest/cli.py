"""The `zarnik-manifest` command: create, verify, plan, inspect, hash, limits.

Exit codes: 0 success (for verify: the report is ok), 1 verification found errors, a
load plan was refused, creation failed or a file could not be hashed, 2 usage error,
3 the manifest cannot be loaded at all, 4 internal error of the module, 130 interrupted.
Results go to stdout, diagnostics (one line each) and the progress indicator to stderr.
"""

from __future__ import annotations

import argparse
import json
import os
import stat
import sys
import threading
import time
from collections.abc import Callable, Sequence
from typing import IO, TYPE_CHECKING, NoReturn, TypeVar

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

# Texts of verify_for_load's refusals (every other ValueError is a loading error).
_REFUSAL_PREFIXES = ("manifest verification failed", "verified report ", "verified auxiliary artifact ")

T = TypeVar("T")


class UsageError(Exception):
    """A command line that cannot be run; reported as one line with exit code 2."""


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
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    sub.required = True

    p = sub.add_parser("create", help="write a manifest for an index file")
    p.add_argument("index", metavar="INDEX", help="the index file")
    p.add_argument("-o", "--out", required=True, metavar="OUT", help="the manifest file to write")
    p.add_argument("--model", required=True, metavar="NAME", help="embedding model name")
    rows = p.add_mutually_exclusive_group(required=True)
    rows.add_argument("--row-map", metavar="PATH", help="JSON-lines row map")
    rows.add_argument("--identity", action="store_true", help="index row numbers are the row identifiers")
    p.add_argument("--aux", dest="aux", action=_AuxAction, const=True, metavar="NAME=PATH",
                   help="a required auxiliary file (repeatable)")
    p.add_argument("--optional-aux", dest="aux", action=_AuxAction, const=False, metavar="NAME=PATH",
                   help="an optional auxiliary file (repeatable)")
    _add_policy(p, duplicates=False)
    p.add_argument("-q", "--quiet", action="store_true", help="print nothing on success")
    _add_limits(p)

    p = sub.add_parser("verify", help="verify a manifest against its files")
    p.add_argument("manifest", metavar="MANIFEST")
    p.add_argument("--index", metavar="PATH", help="verify this file as the index artifact")
    _add_policy(p, duplicates=True)
    out = p.add_mutually_exclusive_group()
    out.add_argument("--json", action="store_true", help="print the full report as JSON")
    out.add_argument("-q", "--quiet", action="store_true", help="print only the issues, and only on failure")
    _add_limits(p)

    p = sub.add_parser("plan", help="verify for loading and print the load plan as JSON")
    p.add_argument("manifest", metavar="MANIFEST")
    p.add_argument("--index", metavar="PATH", help="verify this file as the index artifact")
    _add_policy(p, duplicates=True)
    p.add_argument("-q", "--quiet", action="store_true", help="no progress indicator")
    _add_limits(p)

    p = sub.add_parser("inspect", help="print a manifest as pretty JSON, without checking files")
    p.add_argument("manifest", metavar="MANIFEST")
    _add_limits(p, ("max_manifest_bytes",))

    p = sub.add_parser("hash", help="print SHA-256 digests in the format sha256sum -c reads")
    p.add_argument("files", nargs="+", metavar="FILE")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress indicator")

    p = sub.add_parser("limits", help="show the default resource limits")
    p.add_argument("--json", action="store_true", help="print them as JSON")
    return parser


def _limits(args: argparse.Namespace) -> dict[str, int]:
    return {name: getattr(args, name) for name in LIMIT_NAMES if getattr(args, name, None) is not None}


# ---- output helpers ---------------------------------------------------------------------


def _display(path: str) -> str:
    """A command-line path as printable text (undecodable bytes become U+FFFD)."""
    return os.fsencode(path).decode("utf-8", "replace")


def _use_colour(stream: IO[str]) -> bool:
    return not os.environ.get("NO_COLOR") and stream.isatty()


def _paint(text: str, code: str, stream: IO[str]) -> str:
    return f"\033[{code}m{text}\033[0m" if _use_colour(stream) else text


def _fail(message: str) -> None:
    sys.stderr.write(f"{PROG}: {message}\n")


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
    except OSError:
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


def _run(fn: Callable[[], T], label: str, size: int | None, quiet: bool) -> T:
    """Runs `fn` (a module call, which releases the GIL for its file work) on a worker
    thread, so that this thread stays free to draw progress and to receive Ctrl-C."""
    progress = _Progress(label, size, enabled=not quiet and sys.stderr.isatty())
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
    _fail(f"cannot load manifest {what}: {exc}")
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


def cmd_create(args: argparse.Namespace) -> int:
    inputs = [args.index, *([args.row_map] if args.row_map is not None else []), *(a["path"] for a in args.aux or [])]
    for path in inputs:
        problem = _unusable_input(path)
        if problem is not None:
            _fail(f"create failed: {problem}")
            return EXIT_FAILED
    kwargs: dict[str, object] = dict(_limits(args))
    if args.row_map is not None:
        kwargs["row_map"] = args.row_map
    else:
        kwargs["row_id_is_identity"] = True
    if args.aux:
        kwargs["auxiliary_artifacts"] = args.aux
    try:
        manifest = _run(
            lambda: _zm.create_manifest(args.index, args.out, args.model,
                                        allow_absolute_paths=args.allow_absolute_paths,
                                        allow_path_escape=args.allow_path_escape, **kwargs),  # type: ignore[arg-type]
            f"creating manifest for {_display(args.index)}", _file_size(args.index), args.quiet)
    except (OSError, ValueError) as exc:
        _fail(f"create failed: {exc}")
        return EXIT_FAILED
    if not args.quiet:
        art = manifest["artifact"]
        print(f"manifest  {_display(args.out)}")
        print(f"artifact  {art['kind']}, {art['vector_count']} vectors")
        print(f"sha256    {art['sha256']}")
    return EXIT_OK


def _artifact_hint(args: argparse.Namespace) -> tuple[str, int | None]:
    """What a verification will spend its time on, for the progress line: the index
    override, else the artifact the manifest names (read only when progress is shown)."""
    if args.index is not None:
        return _display(args.index), _file_size(args.index)
    if args.quiet or not sys.stderr.isatty():
        return _display(args.manifest), None
    try:
        declared = _zm.inspect_manifest(args.manifest, max_manifest_bytes=args.max_manifest_bytes)["artifact"]["path"]
    except (OSError, ValueError):
        return _display(args.manifest), None
    base = os.path.dirname(args.manifest)
    return _display(args.manifest), _file_size(os.path.join(base, declared))


def _verify_kwargs(args: argparse.Namespace) -> dict[str, object]:
    return {
        "index": args.index,
        "allow_absolute_paths": args.allow_absolute_paths,
        "allow_path_escape": args.allow_path_escape,
        "allow_duplicate_db_ids": args.allow_duplicate_db_ids,
        **_limits(args),
    }


def _or_dash(value: object) -> str:
    return "-" if value is None else str(value)


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
            lines.extend(f"  {issue['code']}: {issue['message']}" for issue in issues)
    return "\n".join(lines) + "\n"


def cmd_verify(args: argparse.Namespace) -> int:
    label, size = _artifact_hint(args)
    try:
        report = _run(lambda: _zm.verify_manifest(args.manifest, **_verify_kwargs(args)),  # type: ignore[arg-type]
                      f"verifying {label}", size, args.quiet)
    except (OSError, ValueError) as exc:
        return _load_error(exc, _display(args.manifest))
    if args.json:
        sys.stdout.write(json.dumps(report, indent=2, ensure_ascii=False) + "\n")
    elif args.quiet:
        for issue in report["errors"]:
            sys.stdout.write(f"{issue['code']}: {issue['message']}\n")
    else:
        sys.stdout.write(format_summary(report, _display(args.manifest), sys.stdout))
    return EXIT_OK if report["ok"] else EXIT_FAILED


def cmd_plan(args: argparse.Namespace) -> int:
    label, size = _artifact_hint(args)
    try:
        plan = _run(lambda: _zm.verify_for_load(args.manifest, **_verify_kwargs(args)),  # type: ignore[arg-type]
                    f"verifying {label}", size, args.quiet)
    except ValueError as exc:
        if str(exc).startswith(_REFUSAL_PREFIXES):
            _fail(f"load refused: {exc}")
            return EXIT_FAILED
        return _load_error(exc, _display(args.manifest))
    except OSError as exc:
        return _load_error(exc, _display(args.manifest))
    sys.stdout.write(json.dumps(plan, indent=2, ensure_ascii=False) + "\n")
    return EXIT_OK


def cmd_inspect(args: argparse.Namespace) -> int:
    try:
        manifest = _zm.inspect_manifest(args.manifest, max_manifest_bytes=args.max_manifest_bytes)
    except (OSError, ValueError) as exc:
        return _load_error(exc, _display(args.manifest))
    sys.stdout.write(json.dumps(manifest, indent=2, ensure_ascii=False) + "\n")
    return EXIT_OK


def sha256sum_line(digest: str, path: str) -> bytes:
    """One line as sha256sum writes it: a name holding a backslash, line feed or carriage
    return is escaped and the line starts with a backslash, so `sha256sum -c` reads it back."""
    name = os.fsencode(path)
    if any(c in name for c in b"\\\n\r"):
        name = name.replace(b"\\", b"\\\\").replace(b"\n", b"\\n").replace(b"\r", b"\\r")
        return b"\\" + digest.encode() + b"  " + name + b"\n"
    return digest.encode() + b"  " + name + b"\n"


def cmd_hash(args: argparse.Namespace) -> int:
    status = EXIT_OK
    out = sys.stdout.buffer
    for path in args.files:
        try:
            result = _run(lambda: _zm.sha256_file(path), f"hashing {_display(path)}", _file_size(path), args.quiet)
        except OSError as exc:
            out.flush()
            _fail(f"{_display(path)}: {exc}")
            status = EXIT_FAILED
            continue
        out.write(sha256sum_line(result["sha256"], path))
        out.flush()
    return status


def cmd_limits(args: argparse.Namespace) -> int:
    limits = _zm.default_resource_limits()
    if args.json:
        sys.stdout.write(json.dumps(limits, indent=2) + "\n")
        return EXIT_OK
    width = max(len(_flag(name)) for name in limits)
    for name, value in limits.items():
        sys.stdout.write(f"{_flag(name):<{width}}  {value}\n")
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
    # A module call may still be running on the worker thread; leave without waiting.
    try:
        sys.stdout.flush()
    except (OSError, ValueError):
        pass
    sys.stderr.write("\r\033[K" if sys.stderr.isatty() else "")
    sys.stderr.write("interrupted\n")
    sys.stderr.flush()
    os._exit(EXIT_INTERRUPTED)


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line `argv` (default: sys.argv[1:]) and returns the exit code."""
    try:
        try:
            args = build_parser().parse_args(argv)
        except UsageError as exc:
            _fail(f"error: {exc} (see {PROG} --help)")
            return EXIT_USAGE
        try:
            code = COMMANDS[args.command](args)
            sys.stdout.flush()
            return code
        except BrokenPipeError:
            # The reader went away (`| head`): stop quietly, as coreutils do.
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
            return EXIT_FAILED
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as exc:  # the module's internal error derives from BaseException
            _fail(f"internal error: {type(exc).__name__}: {exc}")
            return EXIT_INTERNAL
    except KeyboardInterrupt:
        _interrupted()


def run() -> NoReturn:
    """Entry point of the console script."""
    sys.exit(main())
