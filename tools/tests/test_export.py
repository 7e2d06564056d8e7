"""quorvel-ledger export read back by independent readers, against the values
the module committed.

Values are committed through the module (texts with commas, quotes, CR, LF,
CR LF, non-ASCII and control characters; deltas whose shortest text is awkward),
then exported as CSV and read with Python's csv module and with sqlite3's CSV
import (another RFC 4180 reader), and as JSON lines read with the json module:
every reader must get back exactly the committed values, the delta as the same
double (sign of zero included). Entries that verify on hand-made lines are
exported with the values they hold, and the module and the tool agree that such
a ledger is intact while the tool counts them.

QUORVEL_MODULE_DIR and QUORVEL_LEDGER_CLI are set by ctest; without them the
tests are skipped.
"""

import csv
import io
import json
import math
import shutil
import sqlite3
import subprocess

import pytest

from tool_support import module_and_tool


module, TOOL = module_and_tool("to commit with")

HEADER = ["line", "index", "timestamp", "prev_hash", "actor", "delta_i", "payload", "signature"]

# (actor, delta, payload)
VALUES = [
    ("alice", 1.5, "plain"),
    ("bob, jr.", 0.1, 'he said "pay", then left'),
    ("line\nfeed", -0.0, "carriage\rreturn and\r\nboth"),
    ("Zoë ✓ 😀", 1e20, "\u202eright-to-left, 中文"),
    ("", 5e-324, ""),
    ('"', 1.7976931348623157e308, ","),
    ("tab\there", 2.0**53 + 2, "ends with a quote\""),
    ("ctl\x01\x1f", 1 / 3, "\u2028\u2029"),
    (" lead and trail ", -123456789.125, "  "),
    ("=SUM(A1)", 1e-7, "x\n"),
]


@pytest.fixture
def ledger(tmp_path):
    path = str(tmp_path / "ledger.jsonl")
    recorder = module.QuorvelRecorder(path)
    signatures = [recorder.commit_truth(actor, delta, payload) for actor, delta, payload in VALUES]
    return path, signatures


def export(path, *options):
    done = subprocess.run([TOOL, "export", *options, path], capture_output=True, timeout=60)
    return done.returncode, done.stdout, done.stderr.decode()


def same_double(text, value):
    got = float(text)
    return got == value and math.copysign(1, got) == math.copysign(1, value)


def check_rows(rows, signatures, lines=None):
    lines = lines or range(1, len(VALUES) + 1)
    assert len(rows) == len(lines)
    for row, line in zip(rows, lines):
        actor, delta, payload = VALUES[line - 1]
        assert int(row["line"]) == line
        assert int(row["index"]) == line - 1
        assert row["actor"] == actor
        assert same_double(row["delta_i"], delta), (row["delta_i"], delta)
        assert row["payload"] == payload
        assert row["signature"] == signatures[line - 1]
        assert row["prev_hash"] == (signatures[line - 2] if line > 1 else "GENESIS_BLOCK_HASH")


def test_csv_reads_back_with_pythons_csv_module(ledger):
    path, signatures = ledger
    status, out, err = export(path, "--format", "csv")
    assert (status, err) == (0, "")
    reader = csv.reader(io.StringIO(out.decode("utf-8"), newline=""), strict=True)
    rows = list(reader)
    assert rows[0] == HEADER
    check_rows([dict(zip(HEADER, row)) for row in rows[1:]], signatures)
    # Every record ends with CR LF, those inside quoted fields aside.
    assert out.endswith(b"\r\n") and out.count(b"\r\n") >= len(VALUES) + 1


def test_csv_reads_back_with_sqlite3(ledger, tmp_path):
    if shutil.which("sqlite3") is None:
        pytest.skip("sqlite3 is not installed (scripts/ensure-deps installs it)")
    path, signatures = ledger
    status, out, _ = export(path, "--format", "csv")
    assert status == 0
    csv_path = tmp_path / "ledger.csv"
    csv_path.write_bytes(out)
    db = tmp_path / "ledger.db"
    subprocess.run(["sqlite3", str(db), f".import --csv {csv_path} entries"], check=True, timeout=60)
    with sqlite3.connect(db) as connection:
        connection.row_factory = sqlite3.Row
        rows = [dict(row) for row in connection.execute("select * from entries order by rowid")]
    assert list(rows[0].keys()) == HEADER
    check_rows(rows, signatures)


def test_json_lines_read_back(ledger):
    path, signatures = ledger
    status, out, err = export(path, "--from", "3", "--to", "8")
    assert (status, err) == (0, "")
    objects = [json.loads(line) for line in out.decode("utf-8").split("\n")[:-1]]
    assert [list(o.keys()) for o in objects] == [HEADER] * 6
    # The delta's text, read as a double, is the committed one.
    rows = [dict(o, delta_i=line.split('"delta_i":')[1].split(",")[0])
             for o, line in zip(objects, out.decode("utf-8").split("\n"))]
    check_rows(rows, signatures, range(3, 9))


def test_hand_made_lines_verify_and_are_counted(ledger, tmp_path):
    path, signatures = ledger
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    # Line 2 with a space after each comma between members; line 4 with its
    # delta spelled out in digits: both read as the same values.
    lines[1] = lines[1].replace(',"', ', "')
    lines[3] = lines[3].replace('"delta_i":1e+20', '"delta_i":100000000000000008191')
    hand = tmp_path / "hand.jsonl"
    hand.write_text("\n".join(lines), encoding="utf-8")
    assert module.QuorvelRecorder(str(hand)).verify_integrity()
    done = subprocess.run([TOOL, "verify", "--json", str(hand)], capture_output=True, text=True)
    assert done.returncode == 0
    assert json.loads(done.stdout)["non_canonical"] == {"entries": 2, "first_line": 2}
    assert subprocess.run([TOOL, "verify", "--strict", "-q", str(hand)]).returncode == 1
    status, out, err = export(str(hand), "--format", "csv")
    assert status == 0
    assert "2 entries are not on the writer's line, the first on line 2" in err
    rows = list(csv.DictReader(io.StringIO(out.decode("utf-8"), newline="")))
    check_rows(rows, signatures)
