"""Proofs: made as quorvel-ledger prove makes them, checked as check-proof checks them."""

import base64
import errno
import json

import pytest

from quorvel_ledger_audit import (BrokenLedgerError, ConsistencyProof, InclusionProof, ProofError,
                                  check_consistency, check_inclusion, parse_note, parse_proof,
                                  prove_consistency, prove_inclusion, read_verifier_key)
from tlog_support import SAMPLE_LINES, run_tool, tool_checkpoint, tool_error, tool_keys, write_ledger


@pytest.fixture
def ledger(tmp_path):
    """(the sample ledger, its note file, the note of its first 5 lines' file, the key files)."""
    keys = tool_keys(tmp_path)
    path = write_ledger(tmp_path / "l.jsonl")
    old = tmp_path / "old.cp"
    old.write_text(tool_checkpoint(write_ledger(tmp_path / "old.jsonl", 5), "--key", str(keys[0])))
    new = tmp_path / "new.cp"
    new.write_text(tool_checkpoint(path, "--key", str(keys[0])))
    return path, new, old, keys


def note_of(path):
    return parse_note(path.read_text())


@pytest.mark.parametrize("entry", [0, 5, 12])
def test_an_inclusion_proof_is_the_tools_and_holds(tmp_path, ledger, entry):
    path, new, _, keys = ledger
    proof = prove_inclusion(path, entry, checkpoint=note_of(new))
    ran = run_tool("prove", "--entry", str(entry), "--checkpoint", str(new), str(path))
    assert proof.text + "\n" == ran.stdout
    entry_lines = [line for line in SAMPLE_LINES if line.strip()]
    fields = json.loads(proof.text)
    assert (proof.index, proof.tree_size) == (entry, 13)
    assert proof.line == entry_lines[entry].rstrip(b"\n").decode()
    assert proof.leaf_hash == base64.b64decode(fields["leaf_hash"])
    assert proof.hashes == tuple(base64.b64decode(hash) for hash in fields["hashes"])
    assert parse_proof(proof.text) == proof and str(proof) == proof.text
    check_inclusion(proof, checkpoint=note_of(new), pub=keys[1])
    check_inclusion(proof, checkpoint=note_of(new), pub=read_verifier_key(keys[1]))


def test_a_consistency_proof_is_the_tools_and_holds(ledger):
    path, new, old, keys = ledger
    proof = prove_consistency(path, old=note_of(old), new=note_of(new))
    ran = run_tool("prove", "--from", str(old), "--checkpoint", str(new), str(path))
    assert proof.text + "\n" == ran.stdout
    assert (proof.old_size, proof.new_size, len(proof.hashes)) == (5, 13, len(json.loads(proof.text)["hashes"]))
    assert parse_proof(proof.text.encode()) == proof
    check_consistency(proof, old=note_of(old), new=note_of(new), pub=keys[1])


def flip_first_hash(fields):
    hashes = fields["hashes"]
    hashes[0] = base64.b64encode(bytes(32)).decode()


@pytest.mark.parametrize("kind, change", [
    ("inclusion", flip_first_hash),
    ("inclusion", lambda fields: fields.update(tree_size=14)),
    ("inclusion", lambda fields: fields.update(line=fields["line"].replace("index", "Index"))),
    ("inclusion", lambda fields: fields.update(index=fields["index"] + 1)),
    ("consistency", flip_first_hash),
    ("consistency", lambda fields: fields.update(old_size=4)),
])
def test_a_tampered_proof_is_not_proven_with_the_tools_reason(tmp_path, ledger, kind, change):
    path, new, old, _ = ledger
    made = (prove_inclusion(path, 2, checkpoint=note_of(new)) if kind == "inclusion"
            else prove_consistency(path, old=note_of(old), new=note_of(new)))
    fields = json.loads(made.text)
    change(fields)
    tampered = tmp_path / "tampered.proof"
    tampered.write_text(json.dumps(fields, separators=(",", ":")))
    proof = parse_proof(tampered.read_text())
    with pytest.raises(ProofError) as raised:
        if isinstance(proof, InclusionProof):
            check_inclusion(proof, checkpoint=note_of(new))
        else:
            check_consistency(proof, old=note_of(old), new=note_of(new))
    args = ["check-proof", str(tampered), "--checkpoint", str(new)]
    if kind == "consistency":
        args += ["--from", str(old)]
    ran = run_tool(*args)
    assert ran.returncode == 1
    assert "not proven: " + str(raised.value) + "\n" == ran.stdout


def test_pub_must_sign_every_checkpoint(tmp_path, ledger):
    path, new, old, keys = ledger
    unsigned = tmp_path / "unsigned.cp"
    unsigned.write_text(note_of(new).body)
    inclusion = prove_inclusion(path, 1, checkpoint=note_of(unsigned))
    shown_key = read_verifier_key(keys[1]).text
    with pytest.raises(ProofError) as raised:
        check_inclusion(inclusion, checkpoint=note_of(unsigned), pub=keys[1])
    assert str(raised.value) == "the checkpoint holds no signature by " + shown_key
    consistency = prove_consistency(path, old=note_of(old), new=note_of(unsigned))
    with pytest.raises(ProofError) as raised:
        check_consistency(consistency, old=note_of(old), new=note_of(unsigned), pub=keys[1])
    assert str(raised.value) == "the new checkpoint holds no signature by " + shown_key
    # The old note's signature line made invalid: its body is another's.
    forged = parse_note(note_of(new).text.replace("\n13\n", "\n5\n", 1).replace(
        note_of(new).text.split("\n")[2], note_of(old).text.split("\n")[2]))
    with pytest.raises(ProofError) as raised:
        check_consistency(consistency, old=forged, new=note_of(new), pub=keys[1])
    assert str(raised.value) == "the old checkpoint has an invalid signature by " + shown_key


@pytest.mark.parametrize("text, reason", [
    ("{}", "not a proof: an empty object"),
    ('{"type":"inclusion"}', 'the proof has no member "hashes"'),
    ("[1]", "not a proof: the value is neither an object nor an array at byte 1"),
])
def test_a_malformed_proof_is_refused_with_the_tools_reason(tmp_path, text, reason):
    path = tmp_path / "bad.proof"
    path.write_text(text)
    with pytest.raises(ValueError) as raised:
        parse_proof(text)
    note = tmp_path / "cp"
    note.write_text(tool_checkpoint(write_ledger(tmp_path / "l.jsonl")))
    tool = tool_error(run_tool("check-proof", str(path), "--checkpoint", str(note)))
    assert str(raised.value) == reason
    assert "{}: malformed proof: {}".format(path, reason) == tool


def test_proofs_that_cannot_be_asked_for(tmp_path, ledger):
    path, new, old, _ = ledger
    with pytest.raises(ValueError) as raised:
        prove_inclusion(path, 13, checkpoint=note_of(new))
    assert str(raised.value) == tool_error(
        run_tool("prove", "--entry", "13", "--checkpoint", str(new), str(path)))
    with pytest.raises(ValueError) as raised:
        prove_inclusion(path, -1, checkpoint=note_of(new))
    assert str(raised.value) == "entry -1 is not in the checkpoint's tree of size 13"
    with pytest.raises(ValueError) as raised:
        prove_consistency(path, old=note_of(new), new=note_of(old))
    assert str(raised.value) == "the old checkpoint (size 13) is not older than the new one (size 5)"
    other = parse_note(tool_checkpoint(path, "--origin", "example.com/books"))
    with pytest.raises(ValueError) as raised:
        prove_consistency(path, old=note_of(old), new=other)
    assert str(raised.value) == tool_error(
        run_tool("prove", "--from", str(old), "--checkpoint", str(_write(tmp_path / "o.cp", other.text)),
                 str(path)))
    with pytest.raises(FileNotFoundError) as raised:
        prove_inclusion(tmp_path / "none", 0, checkpoint=note_of(new))
    assert (raised.value.errno, raised.value.filename) == (errno.ENOENT, str(tmp_path / "none"))
    with pytest.raises(TypeError):
        prove_inclusion(path, 0, checkpoint=new)  # type: ignore
    with pytest.raises(TypeError):
        check_inclusion(prove_consistency(path, old=note_of(old), new=note_of(new)),  # type: ignore
                        checkpoint=note_of(new))


def _write(path, text):
    path.write_text(text)
    return path


def respaced(lines, number):
    """The sample's first `lines` lines, entry line `number` with a space after its index member's
    name: the chain holds, the tree does not."""
    changed = list(SAMPLE_LINES[:lines])
    index = b'{"index":%d,' % number
    changed[number] = changed[number].replace(index, index.replace(b":", b": "), 1)
    return b"".join(changed)


def test_a_file_that_no_longer_gives_the_root_gives_no_proof(tmp_path, ledger):
    path, new, old, _ = ledger
    original = path.read_bytes()
    path.write_bytes(respaced(len(SAMPLE_LINES), 1))
    with pytest.raises(ProofError) as raised:
        prove_inclusion(path, 0, checkpoint=note_of(new))
    ran = run_tool("prove", "--entry", "0", "--checkpoint", str(new), str(path))
    assert (ran.returncode, ran.stdout) == (1, "")
    assert str(raised.value) == tool_error(ran)
    with pytest.raises(ProofError) as raised:
        prove_consistency(path, old=note_of(old), new=note_of(new))
    assert str(raised.value) == "{}: its first 13 entry lines no longer give the new checkpoint's " \
                                "root hash: no proof".format(path)
    # The file still gives the new root, not the old one's (of another file of the same origin).
    path.write_bytes(original)
    other = tmp_path / "other.jsonl"
    other.write_bytes(respaced(5, 1))
    other_old = parse_note(tool_checkpoint(other))
    with pytest.raises(ProofError) as raised:
        prove_consistency(path, old=other_old, new=note_of(new))
    assert str(raised.value) == "{}: its first 5 entry lines no longer give the old checkpoint's " \
                                "root hash: no proof".format(path)


def test_proof_records_are_values(ledger):
    path, new, _, _ = ledger
    proof = prove_inclusion(path, 3, checkpoint=note_of(new))
    with pytest.raises(AttributeError):
        proof.index = 4  # type: ignore
    assert proof == parse_proof(proof.text) and hash(proof) == hash(parse_proof(proof.text))
    assert "text=" not in repr(proof)
    with pytest.raises(TypeError):
        ConsistencyProof()


def test_a_break_among_the_lines_proven_gives_no_proof(tmp_path, ledger):
    pytest.importorskip("quorvel_ledger_audit._audit")
    path, new, _, _ = ledger
    lines = list(SAMPLE_LINES)
    lines[3] = lines[3].replace(b'"actor":"', b'"actor":"x', 1)
    path.write_bytes(b"".join(lines))
    with pytest.raises(BrokenLedgerError) as raised:
        prove_inclusion(path, 0, checkpoint=note_of(new))
    ran = run_tool("prove", "--entry", "0", "--checkpoint", str(new), str(path))
    assert tool_error(ran) == str(raised.value) + ": no proof"
    assert raised.value.first_break.kind == "content-altered"
    assert raised.value.audit is None
