"""audit() against the tool's report and the module's verdict, over a table of
damaged ledgers (cases.py)."""

import json
import subprocess
import warnings

import pytest

from cases import CASES, LEDGER, Scratch
from ledgers import write_big
from quorvel_ledger_audit import (Audit, Break, LegacyCheckpointWarning, audit, read_note,
                                  read_verifier_key)
from quorvel_ledger_rs import QuorvelRecorder

INVALID_UTF8 = "stream did not contain valid UTF-8"


def module_verdict(path):
    """verify_integrity(), its IOError for bytes that are not UTF-8 read as False."""
    try:
        return QuorvelRecorder(path).verify_integrity()
    except OSError as error:
        assert str(error) == INVALID_UTF8
        return False


def tool_report(tool, path, options, jobs):
    args = [tool, "verify", "--json", "--jobs", str(jobs)]
    for name in ("since", "pub"):
        if name in options:
            args += ["--" + name, options[name]]
    args += ["--" + name for name in ("strict", "live") if options.get(name)]
    done = subprocess.run(args + [path], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=60)
    assert done.returncode in (0, 1), done.stderr
    return json.loads(done.stdout)


def audited(path, options, jobs):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = audit(path, jobs=jobs, **options)
    return result, [(warning.category, str(warning.message)) for warning in caught]


def assert_records_say_what_the_report_says(result):
    report = result.to_dict()
    assert result.status == report["status"] and result.ok == (report["status"] == "intact")
    found = report.get("break")
    if found is None:
        assert result.first_break is None
        assert (result.entries, result.last_line, result.bytes, result.head) == \
            (report["entries"], report["last_line"], report["bytes"], report["head"])
    else:
        rest = dict(found)
        assert (result.first_break.kind, result.first_break.line, result.first_break.offset,
                result.first_break.index) == (rest.pop("class"), rest.pop("line", None),
                                              rest.pop("offset", None), rest.pop("index", None))
        assert result.first_break.details == rest
        with pytest.raises(TypeError):
            result.first_break.details["class"] = "intact"
        verified = report.get("verified", {"entries": 0, "head": "GENESIS_BLOCK_HASH"})
        assert (result.entries, result.head) == (verified["entries"], verified["head"])
        if "verified" in report:
            assert (result.last_line, result.bytes) == (found["line"] - 1, found["offset"])
    assert [dict(hint.details, kind=hint.kind, line=hint.line) for hint in result.hints] == \
        report.get("hints", [])
    assert result.hints_error == report.get("hints_error")
    assert (result.non_canonical and result.non_canonical._asdict()) == \
        report.get("non_canonical")
    assert (result.unfinished and result.unfinished._asdict()) == report.get("unfinished")
    assert result.since == report.get("since")


@pytest.mark.parametrize("case", CASES, ids=[case.name for case in CASES])
def test_audit_is_the_tools_report_and_intact_the_modules_verdict(case, tmp_path, tool):
    path, options = case.make(Scratch(tmp_path, tool))
    one, warned = audited(path, options, 1)
    two, warned_again = audited(path, options, 2)
    assert isinstance(one, Audit)
    assert two == one and hash(two) == hash(one)
    with pytest.raises(AttributeError):
        one.status = "intact"
    assert one.to_dict() == tool_report(tool, path, options, 1)
    assert two.to_dict() == tool_report(tool, path, options, 2)
    assert (one.first_break and one.first_break.kind) == case.kind
    assert one.intact is case.intact is module_verdict(path)
    assert_records_say_what_the_report_says(one)
    notice = ("{}: a checkpoint line of the earlier form binds only its last entry, not the "
              "bytes of the entries below it; make a new checkpoint".format(options.get("since")))
    assert warned == warned_again == ([(LegacyCheckpointWarning, notice)] if case.legacy else [])
    assert one.path == path


def test_a_note_and_a_key_given_as_values(tmp_path, tool):
    scratch = Scratch(tmp_path, tool)
    key, pub = scratch.keys("alice")
    ledger = scratch.write("ledger.jsonl", LEDGER)
    note = scratch.note(LEDGER, "--key", key)
    assert audit(ledger, since=read_note(note), pub=read_verifier_key(pub)) == \
        audit(ledger, since=note, pub=pub)
    other = scratch.keys("bob")[1]
    refused = audit(ledger, since=read_note(note), pub=read_verifier_key(other))
    with open(other) as text:
        name = text.read().strip()
    assert refused.first_break == Break("checkpoint-signature", None, None, None,
                                        {"checkpoint": None, "key": name, "reason": "missing"})
    assert refused.to_dict()["break"] == dict(audit(ledger, since=note, pub=other).to_dict()["break"],
                                              checkpoint=None)


@pytest.fixture(scope="module")
def long_ledger(tmp_path_factory):
    """A ledger long enough for two jobs to walk it in several ranges."""
    path = str(tmp_path_factory.mktemp("long") / "ledger.jsonl")
    write_big(path, 24)
    with open(path, "rb") as ledger:
        return ledger.read()


def test_two_jobs_walk_ranges_to_the_same_audit(long_ledger, tmp_path, tool):
    scratch = Scratch(tmp_path, tool)
    late = long_ledger.index(b"\n", len(long_ledger) * 9 // 10) + 1
    line_end = long_ledger.index(b"\n", late) + 1
    variants = {
        "intact": (long_ledger, {}),
        "edited late": (long_ledger[:late] + long_ledger[late:].replace(b"forty", b"fifty", 1), {}),
        "an entry deleted late": (long_ledger[:late] + long_ledger[line_end:], {}),
        "since a note": (long_ledger, {"since": scratch.note(long_ledger[:late])}),
    }
    for name, (data, options) in variants.items():
        path = scratch.write("ledger.jsonl", data)
        one, two = audit(path, **options), audit(path, jobs=2, **options)
        assert two == one, name
        assert two.to_dict() == tool_report(tool, path, options, 2), name
        assert one.status == ("intact" if name in ("intact", "since a note") else "broken"), name
