"""What Python sees of the module and its class."""

import inspect
import sys
import weakref

import pytest

import quorvel_ledger_rs
from quorvel_ledger_rs import QuorvelRecorder
from conftest import run_python


def test_module_publishes_only_the_class():
    assert quorvel_ledger_rs.__all__ == ["QuorvelRecorder"]
    assert quorvel_ledger_rs.__doc__ == ""
    own = {name for name in dir(quorvel_ledger_rs) if not name.startswith("__")}
    assert own == {"QuorvelRecorder"}
    assert quorvel_ledger_rs.__file__.endswith("quorvel_ledger_rs.abi3.so")


@pytest.mark.parametrize("attribute, expected", [
    ("__name__", "QuorvelRecorder"),
    ("__qualname__", "QuorvelRecorder"),
    ("__module__", "builtins"),
    ("__doc__", ""),
    ("__text_signature__", "(log_path)"),
], ids=lambda value: str(value))
def test_class_names_and_doc(attribute, expected):
    assert getattr(QuorvelRecorder, attribute) == expected


@pytest.mark.parametrize("target, expected", [
    (lambda: QuorvelRecorder, "(log_path)"),
    (lambda: QuorvelRecorder.commit_truth, "(self, /, actor, delta, payload)"),
    (lambda: QuorvelRecorder.verify_integrity, "(self, /)"),
], ids=["class", "commit_truth", "verify_integrity"])
def test_signatures(target, expected):
    assert str(inspect.signature(target())) == expected


def test_bound_method_signatures(recorder):
    assert str(inspect.signature(recorder.commit_truth)) == "(actor, delta, payload)"
    assert str(inspect.signature(recorder.verify_integrity)) == "()"


def test_method_table_in_order():
    methods = [name for name, value in vars(QuorvelRecorder).items()
               if callable(value) and not name.startswith("__")]
    assert methods == ["commit_truth", "verify_integrity"]


def test_repr_names_the_class(recorder):
    assert repr(recorder).startswith("<builtins.QuorvelRecorder object at 0x")


def test_cannot_be_subclassed():
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Derived", (QuorvelRecorder,), {})


def test_instances_take_no_attributes(recorder):
    with pytest.raises(AttributeError):
        recorder.extra = 1
    assert not hasattr(recorder, "__dict__")


def test_instances_take_no_weak_references(recorder):
    with pytest.raises(TypeError, match="cannot create weak reference"):
        weakref.ref(recorder)


def test_instances_are_compared_and_hashed_by_identity(ledger_path):
    first, second = QuorvelRecorder(ledger_path), QuorvelRecorder(ledger_path)
    assert first == first and first != second
    assert hash(first) == object.__hash__(first)


def test_verify_integrity_refuses_arguments_before_reading(recorder, ledger_path):
    # A file whose walk would raise: the refusal must come first.
    with open(ledger_path, "wb") as ledger:
        ledger.write(b"\xff\n")
    with pytest.raises(TypeError, match=r"verify_integrity\(\) takes no arguments \(1 given\)"):
        recorder.verify_integrity(1)
    with pytest.raises(TypeError, match=r"verify_integrity\(\) takes no keyword arguments"):
        recorder.verify_integrity(strict=True)


def test_unbound_method_calls(recorder, ledger_path):
    signature = QuorvelRecorder.commit_truth(recorder, "a", 1.0, "p")
    assert len(signature) == 64
    assert QuorvelRecorder.verify_integrity(recorder) is True
    with pytest.raises(TypeError, match="doesn't apply to a 'int' object"):
        QuorvelRecorder.commit_truth(1, "a", 1.0, "p")
    with pytest.raises(TypeError, match="doesn't apply to a 'str' object"):
        QuorvelRecorder.verify_integrity(ledger_path)


def test_object_new_cannot_make_an_instance_without_a_recorder():
    with pytest.raises(TypeError, match="is not safe"):
        object.__new__(QuorvelRecorder)


def test_second_initialisation_in_a_process_fails():
    result = run_python(
        "import sys, os, tempfile\n"
        "import quorvel_ledger_rs as first\n"
        "del sys.modules['quorvel_ledger_rs']\n"
        "try:\n"
        "    import quorvel_ledger_rs\n"
        "except ImportError as error:\n"
        "    print('ImportError:', error)\n"
        "else:\n"
        "    print('imported twice')\n"
        "path = os.path.join(tempfile.mkdtemp(), 'l.jsonl')\n"
        "recorder = first.QuorvelRecorder(path)\n"
        "recorder.commit_truth('a', 1.0, 'p')\n"
        "print('first module still works:', recorder.verify_integrity())\n")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("ImportError: ")
    assert lines[0].endswith("may only be initialized once per interpreter process")
    assert lines[1] == "first module still works: True"
    assert result.stderr == ""


def test_creating_and_dropping_instances_keeps_the_class_refcount(ledger_path):
    before = sys.getrefcount(QuorvelRecorder)
    for _ in range(100_000):
        QuorvelRecorder(ledger_path)
    assert sys.getrefcount(QuorvelRecorder) == before


def test_instances_hold_a_reference_to_the_class(ledger_path):
    before = sys.getrefcount(QuorvelRecorder)
    instances = [QuorvelRecorder(ledger_path) for _ in range(10)]
    assert sys.getrefcount(QuorvelRecorder) == before + 10
    del instances
    assert sys.getrefcount(QuorvelRecorder) == before
