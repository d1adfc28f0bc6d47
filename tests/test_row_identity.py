"""Row-identity verification: declaration rules, the JSON-lines file phase and its limits."""

import json
import os
import uuid

import pytest

import zarnik_manifest as zm
from builders import Bundle, issue_codes, sha256

LIMIT = "verification_report_issue_limit_exceeded"


def row(i, db=None, parent=None, **extra):
    d = {"row_id": i, "db_id": db if db is not None else str(uuid.UUID(int=i + 1)), "parent_id": parent}
    d.update(extra)
    return json.dumps(d, separators=(",", ":"))


def rows_bytes(n, eol="\n", final=True):
    text = eol.join(row(i) for i in range(n))
    return (text + (eol if final else "")).encode()


def verify_rows(tmp_path, data: bytes | None, row_count: int, declared_sha=None, **kw):
    """A clean bundle whose row map is `data` (None: no file), declared with `row_count` rows."""
    b = Bundle(tmp_path / "b", n=min(row_count, 1000))
    if data is None:
        os.remove(b.row_map_path)
    else:
        b.row_map_path.write_bytes(data)
    b.manifest["row_identity"].update(sha256=declared_sha or sha256(data or b""), row_count=row_count)
    return zm.verify_manifest(str(b.write()), **kw)


def issues(report):
    """The row-identity issues, codes without their common "row_identity_" prefix."""
    return [(i["code"].removeprefix("row_identity_"), i["message"]) for i in report["errors"]
            if i["code"].startswith("row_identity_")]


@pytest.mark.parametrize(
    "data", [rows_bytes(3), rows_bytes(3, eol="\r\n"), rows_bytes(3, final=False),
             rows_bytes(3, eol="\r\n", final=False)],
    ids=["lf", "crlf", "no-final-lf", "crlf-no-final"],
)
def test_clean_row_maps_verify_with_digest_of_stored_bytes(tmp_path, data):
    report = verify_rows(tmp_path, data, 3)
    assert report["errors"] == [] and report["ok"]
    assert report["row_identity"] == {
        "kind": "jsonl", "manifest_path": "rows.jsonl",
        "canonical_path": os.path.realpath(tmp_path / "b" / "rows.jsonl"), "sha256": sha256(data), "row_count": 3,
        "validated_rows": 3,
    }


def test_identity_form_fills_only_kind_and_count(tmp_path):
    b = Bundle(tmp_path / "b", n=5, row_map=False)
    report = zm.verify_manifest(str(b.write()))
    assert report["ok"]
    assert report["row_identity"] == {"kind": "row_id_identity", "manifest_path": None, "canonical_path": None,
                                      "sha256": None, "row_count": 5, "validated_rows": None}


def test_declaration_rules_in_order(tmp_path):
    b = Bundle(tmp_path / "b")
    b.manifest["row_identity"].update(path=" \u3000", sha256="A" * 64, id_kind="UUID", db={})
    codes = issue_codes(zm.verify_manifest(str(b.write())))
    assert codes[:4] == ["row_identity_path_empty", "row_identity_sha256_invalid",
                         "row_identity_id_kind_unsupported", "row_identity_db_unsupported"]


def strict(line, detail):
    return ("jsonl_invalid_json", f"line {line} is not a strict row object: {detail}")


def blank(line):
    return strict(line, "EOF while parsing a value at line 1 column 0")


UPPER = str(uuid.UUID(int=77)).upper()
U = uuid.UUID("abcdef01-2345-6789-abcd-ef0123456789")
DUPLICATE_KEY = row(1)[:-1] + ',"row_id":1}'
LINE_CASES = [
    # (lines, expected issues, validated_rows)
    ([row(0), "", row(2)], [blank(1)], 2),
    ([row(0), "\r", row(2)], [blank(1)], 2),
    ([row(0), row(1), row(5)], [("row_id_mismatch", "line 2 has row_id 5")], 3),
    ([row(0, x=1), row(1), row(2)], [strict(0, "unknown field `x`, expected one of `row_id`, `db_id`, `parent_id` at "
                                               f"line 1 column {len(row(0, x=1)) - 3}")], 2),
    ([row(0, parent=""), row(1, parent=None), row(2)], [("parent_id_empty", "line 0 has empty parent_id")], 3),
    ([row(0, db=""), row(1), row(2)], [("db_id_empty", "line 0 has empty db_id")], 3),
    ([row(0, db="00000000-0000-0000-0000-00000000000\u0000"), row(1), row(2)],
     [("db_id_contains_nul", "line 0 db_id contains NUL")], 3),
    ([row(0), row(1, parent="\u0000"), row(2)], [("parent_id_contains_nul", "line 1 parent_id contains NUL")], 3),
    ([row(0), row(1, db="nope"), row(2, parent="1234")],
     [("db_id_invalid_uuid", "line 1 db_id must be a UUID in v1"),
      ("parent_id_invalid_uuid", "line 2 parent_id must be a UUID in v1")], 3),
    ([row(0, db=UPPER), row(1, db="{" + UPPER + "}"), row(2, db="urn:uuid:" + UPPER.lower(), parent=uuid.UUID(int=1).hex)],
     [], 3),
    # One UUID in different text forms is not a duplicate.
    ([row(i, db=f) for i, f in enumerate([str(U), str(U).upper(), "{%s}" % U, "urn:uuid:%s" % U, U.hex])], [], 5),
    (['  {"row_id":0,"db_id":"%s"}\t' % uuid.UUID(int=1), '[1,"%s",null]' % uuid.UUID(int=2), row(2)], [], 3),
    ([row(0), '{"row_id":1,"db_id":"\0"}', row(2)],
     [strict(1, "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 22")], 2),
    ([row(0), DUPLICATE_KEY, row(2)],
     [strict(1, f"duplicate field `row_id` at line 1 column {len(DUPLICATE_KEY) - 3}")], 2),
    ([row(0), '{"row_id":1,"db_id":"%s","parent_id":null}' % uuid.UUID(int=2), '[2,"%s"]' % uuid.UUID(int=3)],
     [strict(2, "invalid length 2, expected struct JsonlRow with 3 elements at line 1 column 42")], 2),
    ([row(0), b'{"row_id":1,"db_id":"\xff"}'], [strict(1, "invalid unicode code point at line 1 column 23")], 1),
]


L = len(row(0))  # every row() of a one-digit row_id has this length
DB1 = str(uuid.UUID(int=1))


def too_long(limit, declared=None):
    mismatch = ("row_count_mismatch", f"row identity file has at least 1 rows, manifest declares {declared}")
    return [("line_too_large", f"line 0 exceeds max_row_identity_jsonl_line_bytes={limit}")] + (
        [mismatch] if declared else [])


# (row map bytes, declared rows, options, issues, validated_rows, digest reported)
FILE_CASES = [
    (rows_bytes(3), 2, {}, [("row_count_mismatch", "row identity file has more than declared row_count=2")], 2, False),
    # A declared count over the row limit is refused before the file is resolved (here it is missing).
    (None, 3, {"max_row_map_rows": 2},
     [("row_count_limit_exceeded", "row_identity.row_count 3 exceeds max_row_identity_rows=2")], None, False),
    (rows_bytes(3), 3, {"max_row_map_rows": 3}, [], 3, True),
    # A huge declared count with raised limits must cost nothing before lines arrive.
    *[(rows_bytes(3), declared, {"max_row_map_rows": 2**40, "max_row_map_tracked_id_bytes": 2**50},
       [("row_count_mismatch", f"row identity file has 3 rows, manifest declares {declared}")], 3, True)
      for declared in (4, 3_000_000_000)],
    (rows_bytes(3), 3, {"declared_sha": "0" * 64},
     [("sha256_mismatch", f"row_identity SHA-256 was {sha256(rows_bytes(3))}, manifest declares {'0' * 64}")], 3, True),
    # The row limit is checked before the declared count on the same line.
    (rows_bytes(3), 2, {"max_row_map_rows": 2},
     [("row_count_limit_exceeded", "row identity file has more than max_row_identity_rows=2 rows"),
      ("row_count_mismatch", "row identity file has at least 3 rows, manifest declares 2")], 2, False),
    # The line limit counts the terminator; a final line without one fits a byte tighter.
    (rows_bytes(3), 3, {"max_row_map_line_bytes": L + 1}, [], 3, True),
    (rows_bytes(3), 3, {"max_row_map_line_bytes": L}, too_long(L, 3), 0, False),
    (rows_bytes(3, eol="\r\n"), 3, {"max_row_map_line_bytes": L + 2}, [], 3, True),
    (rows_bytes(3, eol="\r\n"), 3, {"max_row_map_line_bytes": L + 1}, too_long(L + 1, 3), 0, False),
    (rows_bytes(2, final=False), 2, {"max_row_map_line_bytes": L + 1}, [], 2, True),
    # A line limit of zero acts as one: "\n" alone fits, then is a blank (invalid) line.
    *[(b"\n", 1, {"max_row_map_line_bytes": limit}, [blank(0)], 0, True) for limit in (0, 1)],
    *[(b"x\n", 1, {"max_row_map_line_bytes": limit}, too_long(limit), 0, False) for limit in (0, 1)],
    (rows_bytes(3), 3, {"max_row_map_tracked_id_bytes": 3 * 36}, [], 3, True),
    # The stopping line was validated before tracking; no digest for a stopped run.
    (rows_bytes(3), 3, {"max_row_map_tracked_id_bytes": 3 * 36 - 1}, [(
        "duplicate_tracking_limit_exceeded", "tracked db_id bytes exceed max_row_identity_tracked_db_id_bytes=107")], 3,
     False),
    (rows_bytes(3), 3, {"max_row_map_tracked_id_bytes": 0, "allow_duplicate_db_ids": True}, [], 3, True),
    (rows_bytes(4) + row(4, db=DB1).encode(), 5, {}, [("duplicate_db_id", "line 4 repeats db_id")], 5, True),
    (rows_bytes(4) + row(4, db=DB1).encode(), 5, {"allow_duplicate_db_ids": True}, [], 5, True),
    # Lines of ~10 KiB straddle every 8 KiB read; the invalid one must still be whole.
    ("\n".join(row(i, parent="f" * 10000 if i % 2 else None) for i in range(6)).encode(), 6, {},
     [("parent_id_invalid_uuid", f"line {i} parent_id must be a UUID in v1") for i in (1, 3, 5)], 6, True),
]


@pytest.mark.parametrize("data,declared,kw,expected,validated,digest",
                         [(b"".join((line if isinstance(line, bytes) else line.encode()) + b"\n" for line in lines),
                           len(lines), {}, expected, validated, True) for lines, expected, validated in LINE_CASES]
                         + FILE_CASES)
def test_file_phase(tmp_path, data, declared, kw, expected, validated, digest):
    report = verify_rows(tmp_path, data, declared, **kw)
    assert issues(report) == expected
    assert report["row_identity"]["validated_rows"] == validated
    assert report["row_identity"]["sha256"] == (sha256(data) if digest else None)


def test_invalid_lines_collapse_into_one_limit_issue_last(tmp_path):
    report = verify_rows(tmp_path, b"not json\n" * 1000, 1000, max_report_issues=10)
    codes = issue_codes(report)
    assert codes == ["row_identity_jsonl_invalid_json"] * 9 + [LIMIT]
    assert report["errors"][8]["message"].startswith("line 8 is not a strict row object: expected ident")
    assert report["row_identity"]["validated_rows"] == 0
