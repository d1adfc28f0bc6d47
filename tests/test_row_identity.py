"""Row-identity verification: declaration rules, the JSON-lines file phase and its limits."""

import hashlib
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


def verify_rows(tmp_path, data: bytes, row_count: int, declared_sha=None, **kw):
    """A clean bundle whose row map is `data`, declared with `row_count` rows."""
    b = Bundle(tmp_path / "b", n=row_count)
    b.row_map_path.write_bytes(data)
    b.manifest["row_identity"]["sha256"] = declared_sha or sha256(data)
    b.write()
    return zm.verify_manifest(str(b.manifest_path), **kw)


def issues(report):
    return [(i["code"], i["message"]) for i in report["errors"]]


@pytest.mark.parametrize(
    "data",
    [rows_bytes(3), rows_bytes(3, eol="\r\n"), rows_bytes(3, final=False), rows_bytes(3, eol="\r\n", final=False)],
    ids=["lf", "crlf", "no-final-lf", "crlf-no-final"],
)
def test_clean_row_maps_verify_with_digest_of_stored_bytes(tmp_path, data):
    report = verify_rows(tmp_path, data, 3)
    assert report["errors"] == [] and report["ok"]
    ri = report["row_identity"]
    assert ri == {
        "kind": "jsonl",
        "manifest_path": "rows.jsonl",
        "canonical_path": os.path.realpath(tmp_path / "b" / "rows.jsonl"),
        "sha256": hashlib.sha256(data).hexdigest(),
        "row_count": 3,
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


UPPER = str(uuid.UUID(int=77)).upper()
U = uuid.UUID("abcdef01-2345-6789-abcd-ef0123456789")
LINE_CASES = [
    # (lines, expected issues, validated_rows)
    ([row(0), "", row(2)], [("row_identity_jsonl_invalid_json",
                             "line 1 is not a strict row object: EOF while parsing a value at line 1 column 0")], 2),
    ([row(0), "\r", row(2)], [("row_identity_jsonl_invalid_json",
                               "line 1 is not a strict row object: EOF while parsing a value at line 1 column 0")], 2),
    ([row(0), row(1), row(5)], [("row_identity_row_id_mismatch", "line 2 has row_id 5")], 3),
    ([row(0, x=1), row(1), row(2)],
     [("row_identity_jsonl_invalid_json", "line 0 is not a strict row object: unknown field `x`, expected one of "
       "`row_id`, `db_id`, `parent_id` at line 1 column " + str(len(row(0, x=1)) - 3))], 2),
    ([row(0, parent=""), row(1, parent=None), row(2)], [("row_identity_parent_id_empty", "line 0 has empty parent_id")], 3),
    ([row(0, db=""), row(1), row(2)], [("row_identity_db_id_empty", "line 0 has empty db_id")], 3),
    ([row(0, db="00000000-0000-0000-0000-00000000000\u0000"), row(1), row(2)],
     [("row_identity_db_id_contains_nul", "line 0 db_id contains NUL")], 3),
    ([row(0), row(1, parent="\u0000"), row(2)], [("row_identity_parent_id_contains_nul", "line 1 parent_id contains NUL")], 3),
    ([row(0), row(1, db="nope"), row(2, parent="1234")],
     [("row_identity_db_id_invalid_uuid", "line 1 db_id must be a UUID in v1"),
      ("row_identity_parent_id_invalid_uuid", "line 2 parent_id must be a UUID in v1")], 3),
    ([row(0, db=UPPER), row(1, db="{" + UPPER + "}"), row(2, db="urn:uuid:" + UPPER.lower(), parent=uuid.UUID(int=1).hex)],
     [], 3),
    # One UUID in different text forms is not a duplicate.
    ([row(i, db=f) for i, f in enumerate([str(U), str(U).upper(), "{%s}" % U, "urn:uuid:%s" % U, U.hex])], [], 5),
    (['  {"row_id":0,"db_id":"%s"}\t' % uuid.UUID(int=1), '[1,"%s",null]' % uuid.UUID(int=2), row(2)], [], 3),
    ([row(0), '{"row_id":1,"db_id":"\0"}', row(2)],
     [("row_identity_jsonl_invalid_json", "line 1 is not a strict row object: control character "
       "(\\u0000-\\u001F) found while parsing a string at line 1 column 22")], 2),
    ([row(0), row(1)[:-1] + ',"row_id":1}', row(2)],
     [("row_identity_jsonl_invalid_json", "line 1 is not a strict row object: duplicate field `row_id` at line 1 column "
       + str(len(row(1)) - 1 + len(',"row_id"')))], 2),
    ([row(0), '{"row_id":1,"db_id":"%s","parent_id":null}' % uuid.UUID(int=2), '[2,"%s"]' % uuid.UUID(int=3)],
     [("row_identity_jsonl_invalid_json", "line 2 is not a strict row object: invalid length 2, expected struct "
       "JsonlRow with 3 elements at line 1 column 42")], 2),
    ([row(0), b'{"row_id":1,"db_id":"\xff"}'], [("row_identity_jsonl_invalid_json", "line 1 is not a strict row object: "
                                                "invalid unicode code point at line 1 column 23")], 1),
]


@pytest.mark.parametrize("lines,expected,validated", LINE_CASES)
def test_per_line_rules(tmp_path, lines, expected, validated):
    data = b"".join((line if isinstance(line, bytes) else line.encode()) + b"\n" for line in lines)
    report = verify_rows(tmp_path, data, len(lines))
    assert issues(report) == expected
    assert report["row_identity"]["validated_rows"] == validated
    assert report["row_identity"]["sha256"] == sha256(data)


def test_long_lines_crossing_read_chunks(tmp_path):
    # Lines of ~10 KiB straddle every 8 KiB read; the invalid one must still be whole.
    pad = "f" * 10000
    lines = [row(i, parent=pad if i % 2 else None) for i in range(6)]
    data = "\n".join(lines).encode()
    report = verify_rows(tmp_path, data, 6)
    assert issues(report) == [(f"row_identity_parent_id_invalid_uuid", f"line {i} parent_id must be a UUID in v1")
                              for i in (1, 3, 5)]
    assert report["row_identity"]["sha256"] == sha256(data)


@pytest.mark.parametrize("allow,expected", [(False, [("row_identity_duplicate_db_id", "line 4 repeats db_id")]), (True, [])])
def test_duplicate_db_id(tmp_path, allow, expected):
    lines = [row(i) for i in range(4)] + [row(4, db=str(uuid.UUID(int=1)))]
    report = verify_rows(tmp_path, "\n".join(lines).encode(), 5, allow_duplicate_db_ids=allow)
    assert issues(report) == expected
    assert report["row_identity"]["validated_rows"] == 5


def test_more_lines_than_declared_stops_at_the_extra_line(tmp_path):
    report = verify_rows(tmp_path, rows_bytes(3), 2)
    assert issues(report) == [("row_identity_row_count_mismatch", "row identity file has more than declared row_count=2")]
    assert report["row_identity"]["sha256"] is None
    assert report["row_identity"]["validated_rows"] == 2


# A huge declared count with raised limits must cost nothing before lines arrive: the
# duplicate set grows with the ids read, so the call returns its report.
@pytest.mark.parametrize("declared", [4, 3_000_000_000])
def test_fewer_lines_than_declared(tmp_path, declared):
    b = Bundle(tmp_path / "b", n=3)
    b.row_map_path.write_bytes(rows_bytes(3))
    b.manifest["row_identity"].update(sha256=sha256(rows_bytes(3)), row_count=declared)
    report = zm.verify_manifest(str(b.write()), max_row_map_rows=2**40, max_row_map_tracked_id_bytes=2**50)
    assert [i for i in issues(report) if i[0].startswith("row_identity")] == [
        ("row_identity_row_count_mismatch", f"row identity file has 3 rows, manifest declares {declared}")]
    assert report["row_identity"]["sha256"] == sha256(rows_bytes(3))
    assert report["row_identity"]["validated_rows"] == 3


def test_digest_mismatch(tmp_path):
    report = verify_rows(tmp_path, rows_bytes(3), 3, declared_sha="0" * 64)
    assert issues(report) == [("row_identity_sha256_mismatch",
                               f"row_identity SHA-256 was {sha256(rows_bytes(3))}, manifest declares {'0' * 64}")]


@pytest.mark.parametrize("limit,expected", [
    (3, []),
    (2, [("row_identity_row_count_limit_exceeded", "row_identity.row_count 3 exceeds max_row_identity_rows=2")]),
])
def test_declared_count_over_row_limit_never_touches_the_file(tmp_path, limit, expected):
    b = Bundle(tmp_path / "b", n=3)
    os.remove(b.row_map_path)  # a resolution attempt would report the missing file
    report = zm.verify_manifest(str(b.write()), max_row_map_rows=limit)
    row_issues = [i for i in issues(report) if i[0].startswith("row_identity")]
    if expected:
        assert row_issues == expected
        assert report["row_identity"]["canonical_path"] is None
    else:
        assert [c for c, _ in row_issues] == ["row_identity_path_unavailable"]


def test_in_stream_row_limit_then_at_least_form(tmp_path):
    report = verify_rows(tmp_path, rows_bytes(3), 2, max_row_map_rows=2)
    # The row limit is checked before the declared count on the same line.
    assert issues(report) == [
        ("row_identity_row_count_limit_exceeded", "row identity file has more than max_row_identity_rows=2 rows"),
        ("row_identity_row_count_mismatch", "row identity file has at least 3 rows, manifest declares 2"),
    ]


@pytest.mark.parametrize("eol", ["\n", "\r\n"])
def test_line_length_limit_boundary_counts_the_terminator(tmp_path, eol):
    data = rows_bytes(3, eol=eol)
    longest = max(len(row(i)) for i in range(3)) + len(eol)
    assert verify_rows(tmp_path / "ok", data, 3, max_row_map_line_bytes=longest)["ok"]
    report = verify_rows(tmp_path / "over", data, 3, max_row_map_line_bytes=longest - 1)
    assert issues(report) == [
        ("row_identity_line_too_large", f"line 0 exceeds max_row_identity_jsonl_line_bytes={longest - 1}"),
        ("row_identity_row_count_mismatch", "row identity file has at least 1 rows, manifest declares 3"),
    ]
    assert report["row_identity"]["sha256"] is None and report["row_identity"]["validated_rows"] == 0


def test_final_line_without_feed_fits_one_byte_tighter(tmp_path):
    data = (row(0) + "\n" + row(1)).encode()
    report = verify_rows(tmp_path, data, 2, max_row_map_line_bytes=len(row(0)) + 1)
    assert report["ok"]  # line 1 is len(row(1)) == len(row(0)) bytes without its feed


@pytest.mark.parametrize("limit", [0, 1])
def test_line_limit_zero_acts_as_one(tmp_path, limit):
    report = verify_rows(tmp_path, b"\n", 1, max_row_map_line_bytes=limit)
    # "\n" alone is one byte: within the limit, then a blank (invalid) line.
    assert issue_codes(report) == ["row_identity_jsonl_invalid_json"]
    report = verify_rows(tmp_path / "x", b"x\n", 1, max_row_map_line_bytes=limit)
    assert issues(report)[0] == ("row_identity_line_too_large", f"line 0 exceeds max_row_identity_jsonl_line_bytes={limit}")


def test_tracked_id_budget_boundary(tmp_path):
    data = rows_bytes(3)
    assert verify_rows(tmp_path / "ok", data, 3, max_row_map_tracked_id_bytes=3 * 36)["ok"]
    report = verify_rows(tmp_path / "over", data, 3, max_row_map_tracked_id_bytes=3 * 36 - 1)
    assert issues(report) == [("row_identity_duplicate_tracking_limit_exceeded",
                               "tracked db_id bytes exceed max_row_identity_tracked_db_id_bytes=107")]
    # The stopping line was validated before tracking; no digest for a stopped run.
    assert report["row_identity"]["validated_rows"] == 3 and report["row_identity"]["sha256"] is None
    assert verify_rows(tmp_path / "allow", data, 3, max_row_map_tracked_id_bytes=0, allow_duplicate_db_ids=True)["ok"]


def test_invalid_lines_collapse_into_one_limit_issue_last(tmp_path):
    data = b"not json\n" * 1000
    report = verify_rows(tmp_path, data, 1000, max_report_issues=10)
    codes = issue_codes(report)
    assert len(codes) == 10 and codes[-1] == LIMIT and codes.count(LIMIT) == 1
    assert codes[:9] == ["row_identity_jsonl_invalid_json"] * 9
    assert report["errors"][8]["message"].startswith("line 8 is not a strict row object: expected ident")
    assert report["row_identity"]["validated_rows"] == 0

