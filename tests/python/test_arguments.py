"""Binding and conversion of arguments: exact messages, and nothing touched on failure."""

import os
import sys

import pytest

from quorvel_ledger_rs import QuorvelRecorder
from ledger_check import read_entries, assert_chained

NEW = "QuorvelRecorder.__new__()"
COMMIT = "QuorvelRecorder.commit_truth()"


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, f"{NEW} missing 1 required positional argument: 'log_path'"),
    (("a.log", "b"), {}, f"{NEW} takes 1 positional arguments but 2 were given"),
    (("a.log", "b", "c"), {"path": 1}, f"{NEW} takes 1 positional arguments but 3 were given"),
    ((), {"path": "a.log"}, f"{NEW} got an unexpected keyword argument 'path'"),
    ((), {"Log_Path": "a.log"}, f"{NEW} got an unexpected keyword argument 'Log_Path'"),
    ((), {"log_path\udc80": "a.log"},
     f"{NEW} got an unexpected keyword argument 'log_path\udc80'"),
    (("a.log",), {"log_path": "b.log"}, f"{NEW} got multiple values for argument 'log_path'"),
    ((None,), {}, "argument 'log_path': 'NoneType' object cannot be converted to 'PyString'"),
    ((b"a.log",), {}, "argument 'log_path': 'bytes' object cannot be converted to 'PyString'"),
], ids=["none", "two-positional", "too-many-before-keyword", "unexpected-keyword",
        "keyword-case", "keyword-not-utf8", "multiple-values", "none-value", "bytes-value"])
def test_constructor_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        QuorvelRecorder(*args, **kwargs)
    assert str(caught.value) == message
    assert caught.value.__cause__ is None


def test_constructor_refuses_path_objects_by_their_own_type_name(tmp_path):
    with pytest.raises(TypeError) as caught:
        QuorvelRecorder(tmp_path / "a.log")
    assert str(caught.value) == (f"argument 'log_path': '{type(tmp_path).__qualname__}' "
                                 "object cannot be converted to 'PyString'")


def test_constructor_keyword_form(ledger_path):
    recorder = QuorvelRecorder(log_path=ledger_path)
    recorder.commit_truth("a", 1.0, "p")
    assert len(read_entries(ledger_path)) == 1


class Number:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Index:
    def __index__(self):
        return 7


class FailingFloat:
    def __float__(self):
        raise ValueError("no float for you")


class CausedTypeError:
    def __float__(self):
        try:
            raise KeyError("inner")
        except KeyError as inner:
            raise TypeError("refused") from inner


class Unprintable:
    def __float__(self):
        raise TypeError(BadStr())


class BadStr:
    def __str__(self):
        raise RuntimeError("cannot print")


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((), {}, TypeError, f"{COMMIT} missing 3 required positional arguments: "
                        "'actor', 'delta', and 'payload'"),
    (("a",), {}, TypeError, f"{COMMIT} missing 2 required positional arguments: "
                            "'delta' and 'payload'"),
    ((), {"delta": 1.0}, TypeError, f"{COMMIT} missing 2 required positional arguments: "
                                    "'actor' and 'payload'"),
    (("a", 1.0), {}, TypeError, f"{COMMIT} missing 1 required positional argument: 'payload'"),
    (("a", 1.0, "p", 4), {}, TypeError,
     f"{COMMIT} takes 3 positional arguments but 4 were given"),
    (("a",), {"actor": "b", "delta": 1.0, "payload": "p"}, TypeError,
     f"{COMMIT} got multiple values for argument 'actor'"),
    (("a",), {"bogus": 1, "delta": 1.0}, TypeError,
     f"{COMMIT} got an unexpected keyword argument 'bogus'"),
    ((), {"payload": "p", "extra": 1}, TypeError,
     f"{COMMIT} got an unexpected keyword argument 'extra'"),
    ((1, 1.0, "p"), {}, TypeError,
     "argument 'actor': 'int' object cannot be converted to 'PyString'"),
    (("a", 1.0, None), {}, TypeError,
     "argument 'payload': 'NoneType' object cannot be converted to 'PyString'"),
    (("a", 1.0, Number(1.0)), {}, TypeError,
     "argument 'payload': 'Number' object cannot be converted to 'PyString'"),
    (("a", "1.5", "p"), {}, TypeError, "argument 'delta': must be real number, not str"),
    (("a", None, "p"), {}, TypeError, "argument 'delta': must be real number, not NoneType"),
    (("a", Number("x"), "p"), {}, TypeError,
     "argument 'delta': Number.__float__ returned non-float (type str)"),
    (("a", 10**400, "p"), {}, OverflowError, "int too large to convert to float"),
    (("a", FailingFloat(), "p"), {}, ValueError, "no float for you"),
    (("\udc80", 1.0, "p"), {}, UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\udc80' in position 0: surrogates not allowed"),
    (("a", 1.0, "x\ud800"), {}, UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\ud800' in position 1: surrogates not allowed"),
    # The first failing argument ends the call; later ones are not looked at.
    ((1, "bad", None), {}, TypeError,
     "argument 'actor': 'int' object cannot be converted to 'PyString'"),
    (("a", "bad", None), {}, TypeError, "argument 'delta': must be real number, not str"),
], ids=["none", "actor-only", "delta-keyword", "payload-missing", "four-positional",
        "multiple-values", "unexpected-before-missing", "unexpected-keyword", "actor-int",
        "payload-none", "payload-object", "delta-str", "delta-none", "delta-bad-float",
        "delta-overflow", "delta-float-raises", "actor-surrogate", "payload-surrogate",
        "actor-first", "delta-before-payload"])
def test_commit_truth_argument_errors(recorder, ledger_path, args, kwargs, error, message):
    with pytest.raises(BaseException) as caught:
        recorder.commit_truth(*args, **kwargs)
    assert type(caught.value) is error
    assert str(caught.value) == message
    assert not os.path.exists(ledger_path)
    # The recorder is untouched: the next commit is the first entry.
    recorder.commit_truth("a", 1.0, "p")
    assert_chained(read_entries(ledger_path))


def test_wrapped_type_error_keeps_the_conversion_cause(recorder):
    with pytest.raises(TypeError) as caught:
        recorder.commit_truth("a", CausedTypeError(), "p")
    assert str(caught.value) == "argument 'delta': refused"
    assert type(caught.value.__cause__) is KeyError


def test_unprintable_conversion_error_is_reported_and_replaced(recorder, monkeypatch):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    with pytest.raises(TypeError) as caught:
        recorder.commit_truth("a", Unprintable(), "p")
    assert str(caught.value) == "argument 'delta': <unprintable TypeError object>"
    (report,) = reported
    assert type(report.exc_value) is RuntimeError and str(report.exc_value) == "cannot print"
    assert type(report.object) is TypeError and type(report.object.args[0]) is BadStr


class Text(str):
    def __str__(self):
        return "overridden"

    def encode(self, *args, **kwargs):
        return b"overridden"


@pytest.mark.parametrize("args, kwargs, stored", [
    (("alice", 2, "p"), {}, ("alice", 2.0, "p")),
    ((), {"actor": "a", "delta": 2, "payload": "p"}, ("a", 2.0, "p")),
    ((), {"payload": "p", "actor": "a", "delta": -1.0}, ("a", -1.0, "p")),
    (("a", True, "p"), {}, ("a", 1.0, "p")),
    (("a", Number(0.25), "p"), {}, ("a", 0.25, "p")),
    (("a", Index(), "p"), {}, ("a", 7.0, "p")),
    (("a", 2**53 + 1, "p"), {}, ("a", float(2**53), "p")),
    ((Text("who"), 1.0, Text("what")), {}, ("who", 1.0, "what")),
    (("nul\0inside", 1.0, "é漢\U0001F600\n\"\\"), {}, ("nul\0inside", 1.0, "é漢\U0001F600\n\"\\")),
], ids=["int-delta", "all-keywords", "keyword-order", "bool-delta", "float-method",
        "index-method", "rounded-int", "str-subclass", "unusual-text"])
def test_commit_truth_accepted_arguments(recorder, ledger_path, args, kwargs, stored):
    signature = recorder.commit_truth(*args, **kwargs)
    (entry,) = read_entries(ledger_path)
    assert (entry["actor"], entry["delta_i"], entry["payload"]) == stored
    assert entry["signature"] == signature
    assert recorder.verify_integrity() is True


def test_text_arguments_are_stored_without_calling_overridden_methods(ledger_path):
    QuorvelRecorder(Text(ledger_path)).commit_truth("a", 1.0, "p")
    assert os.path.exists(ledger_path)


@pytest.mark.parametrize("delta, shown", [
    (float("nan"), "nan"),
    (float("-nan"), "nan"),
    (float("inf"), "inf"),
    (float("-inf"), "-inf"),
    (Number(float("inf")), "inf"),
], ids=["nan", "negative-nan", "inf", "-inf", "float-method-inf"])
def test_non_finite_delta_is_refused_and_nothing_is_written(recorder, ledger_path, delta, shown):
    recorder.commit_truth("a", 1.0, "first")
    with pytest.raises(ValueError) as caught:
        recorder.commit_truth("a", delta, "p")
    assert str(caught.value) == f"argument 'delta': must be a finite number, got {shown}"
    assert caught.value.args == (str(caught.value),)
    recorder.commit_truth("a", 1.0, "second")
    entries = read_entries(ledger_path)
    assert [entry["payload"] for entry in entries] == ["first", "second"]
    assert_chained(entries)
    assert recorder.verify_integrity() is True

