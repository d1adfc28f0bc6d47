"""Auxiliary artifacts: declaration rules, visiting order, states, path policy and limits."""

import os

import pytest

import zarnik_manifest as zm
from builders import Bundle, issue_codes, sha256

LIMIT = "verification_report_issue_limit_exceeded"


def aux_issues(report):
    """The auxiliary issues, codes without their common "auxiliary_artifact_" prefix."""
    return [(i["code"].removeprefix("auxiliary_artifact_"), i["message"]) for i in report["errors"]
            if i["code"].startswith("auxiliary_artifact_")]


def entry(name, path, data=b"", required=None):
    e = {"name": name, "path": path, "sha256": sha256(data), "file_size_bytes": len(data)}
    if required is not None:
        e["required"] = required
    return e


@pytest.fixture
def bundle(tmp_path):
    return Bundle(tmp_path / "b", row_map=False)


def verify(b, **kw):
    return zm.verify_manifest(str(b.write()), **kw)


def test_visiting_order_is_name_path_required_and_stable(bundle):
    for rel in ("p1", "p2"):
        (bundle.root / rel).write_bytes(b"")
    bundle.manifest["auxiliary_artifacts"] = [entry("b", "p1"), entry("a", "p2"), entry("a", "p1"),
                                              entry("a", "p1", required=False), entry("B", "p2"),
                                              entry("a\u00e9", "p1")]
    report = verify(bundle)
    assert [(a["name"], a["manifest_path"], a["required"]) for a in report["auxiliary_artifacts"]] == [
        ("B", "p2", True), ("a", "p1", False), ("a", "p1", True), ("a", "p2", True), ("a\u00e9", "p1", True),
        ("b", "p1", True),
    ]
    # Duplicate names are a declaration issue; each later occurrence reported.
    assert aux_issues(report) == [("name_duplicate", 'auxiliary artifact name "a" is duplicated')] * 2


def test_states_and_report_entries(bundle):
    good = bundle.add_auxiliary("good", b"abc")
    bundle.add_auxiliary("bad", b"abc")["sha256"] = sha256(b"other")
    bundle.manifest["auxiliary_artifacts"][-1]["file_size_bytes"] = 9
    bundle.manifest["auxiliary_artifacts"] += [entry("opt", "nope.bin", required=False), entry("req", "gone.bin")]
    report = verify(bundle)
    entries = report["auxiliary_artifacts"]
    assert [(a["name"], a["state"], a["reason_code"]) for a in entries] == [
        ("bad", "failed", "auxiliary_artifact_sha256_mismatch"), ("good", "verified", None),
        ("opt", "optional_absent", "auxiliary_artifact_optional_absent"),
        ("req", "missing_required", "auxiliary_artifact_missing_required"),
    ]
    # Every key present, in this order.
    assert list(entries[1].items()) == [
        ("name", "good"), ("manifest_path", good["path"]), ("resolved_path", str(bundle.root / good["path"])),
        ("canonical_path", f"{os.path.realpath(bundle.root)}/{good['path']}"), ("expected_sha256", sha256(b"abc")),
        ("expected_size_bytes", 3), ("required", True), ("state", "verified"), ("reason_code", None),
        ("sha256", sha256(b"abc")), ("size_bytes", 3),
    ]
    assert (entries[2]["sha256"], entries[2]["size_bytes"], entries[2]["canonical_path"]) == (None, None, None)
    assert aux_issues(report) == [
        ("sha256_mismatch",
         f'auxiliary artifact "bad" SHA-256 was {sha256(b"abc")}, manifest declares {sha256(b"other")}'),
        ("file_size_mismatch", 'auxiliary artifact "bad" size was 3, manifest declares 9'),
        ("missing_required", f'required auxiliary artifact "req" is missing at {bundle.root}/gone.bin'),
    ]


@pytest.mark.parametrize("count,limit,flagged", [(2, 1, True), (2, 2, False), (1, 0, True)])
def test_count_limit_reported_once_and_nothing_examined(bundle, count, limit, flagged):
    bundle.manifest["auxiliary_artifacts"] = [entry(" x", "", b"") for _ in range(count)]
    report = verify(bundle, max_auxiliary_artifacts=limit)
    message = f"auxiliary_artifacts has {count} entries, exceeding max_auxiliary_artifacts={limit}"
    if flagged:
        assert aux_issues(report) == [("count_limit_exceeded", message)]
    else:
        assert "auxiliary_artifact_count_limit_exceeded" not in issue_codes(report)
    assert len(report["auxiliary_artifacts"]) == (0 if flagged else count)


def test_count_limit_goes_through_the_bounded_append(bundle):
    bundle.manifest["schema_version"] = "bad"  # one issue before the auxiliary phase
    bundle.manifest["auxiliary_artifacts"] = [entry("x", "p"), entry("y", "p")]
    assert issue_codes(verify(bundle, max_auxiliary_artifacts=1, max_report_issues=1)) == [LIMIT]


def test_declaration_rules(bundle):
    (bundle.root / "f").write_bytes(b"")
    bundle.manifest["auxiliary_artifacts"] = [entry(" a", "f"), entry("\u3000", "f"), entry("x", "f"), entry("x", " "),
                                              entry("x", "f"), {**entry("up", "f"), "sha256": sha256(b"").upper()}]
    report = verify(bundle)
    assert aux_issues(report) == [
        ("name_not_trimmed", 'auxiliary artifact name "a" must not have leading or trailing whitespace'),
        ("name_empty", "auxiliary artifact name must be non-empty"),
        ("name_duplicate", 'auxiliary artifact name "x" is duplicated'),
        ("path_empty", 'auxiliary artifact "x" path must be non-empty'),
        ("name_duplicate", 'auxiliary artifact name "x" is duplicated'),
        ("sha256_invalid", 'auxiliary artifact "up" sha256 must be a lowercase 64-character hex SHA-256 digest'),
        ("sha256_mismatch",
         f'auxiliary artifact "up" SHA-256 was {sha256(b"")}, manifest declares {sha256(b"").upper()}'),
    ]
    by_key = {(a["name"], a["manifest_path"]): a for a in report["auxiliary_artifacts"]}
    # The untrimmed name is still hashed; the blank path is decided without a new issue.
    assert by_key[(" a", "f")]["state"] == "verified"
    blank_path = by_key[("x", " ")]
    assert (blank_path["reason_code"], blank_path["resolved_path"]) == ("auxiliary_artifact_path_empty", None)
    assert by_key[("up", "f")]["reason_code"] == "auxiliary_artifact_sha256_mismatch"


def test_path_policy_issues_in_visiting_order(bundle, tmp_path):
    (tmp_path / "x").write_bytes(b"")  # exists, but must not be looked at through a lexical escape
    (bundle.root / "a").mkdir()
    os.symlink(tmp_path / "x", bundle.root / "link.bin")
    inside = bundle.root / "in.bin"
    inside.write_bytes(b"")
    bundle.manifest["auxiliary_artifacts"] = [entry("n", "../x"), entry("m", "a/../../x"), entry("l", "link.bin"),
                                              entry("abs", str(inside))]
    report = verify(bundle)
    assert aux_issues(report) == [
        ("absolute_path_rejected", f'absolute auxiliary artifact path {inside} for "abs" is rejected by default'),
        ("path_escape_rejected", f'canonical auxiliary artifact path {os.path.realpath(tmp_path / "x")} for "l" is '
                                 f"outside manifest base {os.path.realpath(bundle.root)}"),
        ("path_escape_rejected", 'relative auxiliary artifact path a/../../x for "m" escapes the manifest base'),
        ("path_escape_rejected", 'relative auxiliary artifact path ../x for "n" escapes the manifest base'),
    ]
    assert [(a["state"], a["canonical_path"]) for a in report["auxiliary_artifacts"][2:]] == [("failed", None)] * 2
    assert [a["state"] for a in report["auxiliary_artifacts"][:2]] == ["failed"] * 2
    assert [c for c, _ in aux_issues(verify(bundle, allow_path_escape=True))] == ["absolute_path_rejected"]
    report = verify(bundle, allow_path_escape=True, allow_absolute_paths=True)
    assert report["ok"] and report["auxiliary_artifacts"][0]["resolved_path"] == str(inside)


@pytest.mark.parametrize("size,limit", [(4, 4), (5, 4), (0, 0), (1, 0)])
def test_size_limit_boundary(bundle, size, limit):
    bundle.add_auxiliary("f", b"z" * size, path="f.bin")
    report = verify(bundle, max_auxiliary_artifact_bytes=limit)
    canonical = os.path.realpath(bundle.root / "f.bin")
    if size <= limit:
        assert report["ok"]
    else:
        assert aux_issues(report) == [("file_too_large", "auxiliary_artifact_file_too_large: auxiliary artifact "
                                                         f"exceeds {limit} bytes while reading {canonical}")]
        a = report["auxiliary_artifacts"][0]
        assert (a["state"], a["reason_code"], a["sha256"], a["canonical_path"]) == (
            "failed", "auxiliary_artifact_file_too_large", None, canonical)


def test_hostile_names_are_quoted(bundle):
    bundle.manifest["auxiliary_artifacts"] = [entry('q"b\\s\tn\n\x00\x01\u200b', "missing.bin")]
    shown = '"q\\"b\\\\s\\tn\\n\\0\\u{1}\\u{200b}"'
    assert aux_issues(verify(bundle)) == [
        ("missing_required", f"required auxiliary artifact {shown} is missing at {bundle.root}/missing.bin")]
