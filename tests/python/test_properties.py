"""Properties of the Python surface over arbitrary texts and finite doubles.

Texts range over all of Unicode but the surrogates, with NUL, line breaks,
escapes and astral characters drawn often; deltas over every finite double.
Everything is checked against Python's own json, hashlib and struct, never
against the module itself.
"""

import hashlib
import json
import os
import struct

import pytest
from hypothesis import HealthCheck, assume, event, example, given, settings
from hypothesis import strategies as st

from quorvel_ledger_rs import QuorvelRecorder
from harden_support import by_mode, record_figures
from ledger_check import FIELDS, GENESIS

SETTINGS = settings(max_examples=by_mode(20, 150, 3000), deadline=None, database=None,
                    suppress_health_check=[HealthCheck.too_slow])

# Characters that stress the line format: NUL and other controls (escaped),
# every line break Unicode knows (raw but for \n and \r), the quote and the
# backslash, a byte order mark, non-characters and the astral plane.
TRICKY = "\x00\x01\x1f\x7f\n\r\t\b\f\x0b\x85\u2028\u2029\"\\/\ufeff\ufffe\uffff\U0001F600\U0010FFFF"
TEXT = st.text(alphabet=st.one_of(st.characters(blacklist_categories=("Cs",)),
                                  st.sampled_from(TRICKY)), max_size=30)
DELTA = st.floats(allow_nan=False, allow_infinity=False)
COMMITS = st.lists(st.tuples(TEXT, DELTA, TEXT), min_size=1, max_size=4)

# Members whose values a single changed byte may alter: the five that the
# signature covers, and the signature itself. index is not covered.
TAMPERED_MEMBERS = ["prev_hash", "timestamp", "actor", "delta_i", "payload", "signature"]


@pytest.fixture(scope="module")
def ledger_dir(tmp_path_factory):
    """A directory for the examples' ledgers; each example empties it on entry."""
    return tmp_path_factory.mktemp("properties")


def fresh_path(directory):
    """The path of a ledger that does not exist yet, in a directory emptied of
    what earlier (possibly failed) examples left."""
    for name in os.listdir(directory):
        os.remove(directory / name)
    return str(directory / "ledger.jsonl")


def bits(value):
    return struct.pack(">d", value)


def digest(prev_hash, timestamp, actor, delta, payload):
    """SHA-256 over the documented inputs, joined with nothing in between."""
    return hashlib.sha256(prev_hash.encode() + timestamp.encode() + actor.encode() + bits(delta)
                          + payload.encode()).hexdigest()


def significant_digits(number_text):
    """The decimal digits of a number text without sign, point, exponent or padding zeros."""
    mantissa = number_text.lstrip("-").lower().partition("e")[0].replace(".", "")
    return mantissa.strip("0") or "0"


def read_lines(path):
    with open(path, "rb") as ledger:
        return ledger.read().split(b"\n")[:-1]


def value_spans(line):
    """Byte span of each member's value in a compact line: the text between the
    quotes of a string, the digits of a number."""
    spans = {}
    position = 1  # after "{"
    while line[position:position + 1] == b'"':
        name_end = line.index(b'"', position + 1)  # member names hold no escapes
        name = line[position + 1:name_end].decode()
        start = name_end + 2  # after '":'
        if line[start:start + 1] == b'"':
            end = start + 1
            while line[end:end + 1] != b'"':
                end += 2 if line[end:end + 1] == b"\\" else 1
            spans[name] = (start + 1, end)
            position = end + 2  # after the closing quote and "," or "}"
        else:
            end = start
            while line[end:end + 1] not in (b",", b"}"):
                end += 1
            spans[name] = (start, end)
            position = end + 1
    return spans


@SETTINGS
@given(commits=COMMITS, reopened_commit=st.tuples(TEXT, DELTA, TEXT))
def test_lines_read_back_exactly_chain_and_continue_after_reopening(ledger_dir, commits,
                                                                    reopened_commit):
    path = fresh_path(ledger_dir)
    recorder = QuorvelRecorder(path)
    signatures = [recorder.commit_truth(*commit) for commit in commits]
    reopened = QuorvelRecorder(path)
    signatures.append(reopened.commit_truth(*reopened_commit))
    commits = commits + [reopened_commit]

    lines = read_lines(path)
    assert len(lines) == len(commits)
    prev_hash = GENESIS
    for index, (line, (actor, delta, payload), signature) in enumerate(
            zip(lines, commits, signatures)):
        entry = json.loads(line)
        assert list(entry) == FIELDS
        assert (entry["index"], entry["prev_hash"], entry["actor"], entry["payload"],
                entry["signature"]) == (index, prev_hash, actor, payload, signature)
        assert bits(entry["delta_i"]) == bits(delta)
        assert signature == digest(prev_hash, entry["timestamp"], actor, delta, payload)
        # Byte-exact: compact, members in order, texts escaped as Python's json
        # escapes them (quote, backslash, controls; all else raw UTF-8), and the
        # delta in its shortest round-trip digits.
        delta_start, delta_end = value_spans(line)["delta_i"]
        delta_text = line[delta_start:delta_end].decode()
        assert significant_digits(delta_text) == significant_digits(repr(delta))
        texts = {name: json.dumps(entry[name], ensure_ascii=False)
                 for name in ("timestamp", "prev_hash", "actor", "payload", "signature")}
        expected = ('{"index":%d,"timestamp":%s,"prev_hash":%s,"actor":%s,"delta_i":%s,'
                    '"payload":%s,"signature":%s}' % (index, texts["timestamp"], texts["prev_hash"],
                                                      texts["actor"], delta_text, texts["payload"],
                                                      texts["signature"]))
        assert line == expected.encode()
        prev_hash = signature
    assert recorder.verify_integrity() is True
    assert reopened.verify_integrity() is True


@SETTINGS
@given(text=TEXT, position=st.integers(min_value=0), surrogate=st.integers(0xD800, 0xDFFF),
       argument=st.sampled_from(["actor", "payload", "log_path"]))
def test_a_lone_surrogate_raises_unicode_encode_error_and_writes_nothing(
        ledger_dir, text, position, surrogate, argument):
    path = fresh_path(ledger_dir)
    position %= len(text) + 1
    bad = text[:position] + chr(surrogate) + text[position:]
    if argument == "log_path":
        bad = os.path.join(os.path.dirname(path), bad)
    with pytest.raises(UnicodeEncodeError) as expected:
        bad.encode("utf-8")

    recorder = QuorvelRecorder(path)
    recorder.commit_truth("before", 1.0, "")
    with open(path, "rb") as ledger:
        before = ledger.read()
    with pytest.raises(UnicodeEncodeError) as caught:
        if argument == "log_path":
            QuorvelRecorder(bad)
        else:
            recorder.commit_truth(**dict({"actor": "a", "delta": 2.0, "payload": "p"},
                                         **{argument: bad}))
    assert caught.value.args == expected.value.args
    with open(path, "rb") as ledger:
        assert ledger.read() == before
    assert sorted(os.listdir(ledger_dir)) == [os.path.basename(path)]
    # Nothing of the recorder moved: the next entry is still index 1.
    recorder.commit_truth("after", 3.0, "")
    assert json.loads(read_lines(path)[1])["index"] == 1


@pytest.fixture(scope="module")
def verdicts():
    """How often each verdict came up, reported as figures after the module."""
    counts = {"True": 0, "False": 0, "OSError": 0}
    yield counts
    record_figures("single-byte changes", **counts)


@SETTINGS
@given(commits=COMMITS, line_choice=st.integers(min_value=0),
       member=st.sampled_from(TAMPERED_MEMBERS), offset=st.integers(min_value=0),
       new_byte=st.one_of(st.integers(0x20, 0x7E), st.integers(0, 255)))
# Changes that leave every value equal: the case of a hex digit in an escape,
# "e" against "E", a leading zero in an exponent.
@example(commits=[("a", 0.0, "\x1f")], line_choice=0, member="payload", offset=5, new_byte=ord("F"))
@example(commits=[("a", 1e16, "")], line_choice=0, member="delta_i", offset=1, new_byte=ord("E"))
@example(commits=[("a", 1e16, "")], line_choice=0, member="delta_i", offset=2, new_byte=ord("0"))
# A change that leaves the file invalid UTF-8.
@example(commits=[("a", 0.0, "\u00e9")], line_choice=0, member="payload", offset=0, new_byte=0x41)
def test_a_changed_byte_of_covered_content_fails_verification(
        ledger_dir, verdicts, commits, line_choice, member, offset, new_byte):
    """One byte changed inside the value of a covered member (prev_hash,
    timestamp, actor, delta_i, payload) or of the signature, on any line:

    - if the file is then not valid UTF-8, verify_integrity raises OSError
      "stream did not contain valid UTF-8" (the walk reaches that line, since
      every line before it is intact);
    - else, if Python's json reads the line as the same values (the change only
      spelt a value differently), the entry is unchanged and the answer is True;
    - else the answer is False.
    """
    path = fresh_path(ledger_dir)
    recorder = QuorvelRecorder(path)
    for commit in commits:
        recorder.commit_truth(*commit)
    lines = read_lines(path)
    line_index = line_choice % len(lines)
    line = lines[line_index]
    start, end = value_spans(line)[member]
    assume(end > start)  # an empty actor or payload has no byte to change
    position = start + offset % (end - start)
    assume(line[position] != new_byte)
    changed = line[:position] + bytes([new_byte]) + line[position + 1:]
    lines[line_index] = changed
    with open(path, "wb") as ledger:
        ledger.write(b"".join(line + b"\n" for line in lines))

    try:
        text = changed.decode("utf-8")
    except UnicodeDecodeError:
        expected = "OSError"
    else:
        original = json.loads(line)
        try:
            read_back = json.loads(text)
            same = (isinstance(read_back, dict) and sorted(read_back) == sorted(FIELDS)
                    and all(read_back[name] == original[name] for name in TAMPERED_MEMBERS
                            if name != "delta_i")
                    and type(read_back["delta_i"]) in (int, float)
                    and bits(float(read_back["delta_i"])) == bits(original["delta_i"]))
        except ValueError:
            same = False
        expected = "True" if same else "False"

    try:
        verdict = str(recorder.verify_integrity())
    except OSError as error:
        assert error.args == ("stream did not contain valid UTF-8",)
        verdict = "OSError"
    assert verdict == expected, (line, changed)
    event(f"verdict {verdict}")
    verdicts[verdict] += 1
