"""Internal faults: a clock before 1970 raises PanicException and poisons the recorder.

The fault is provoked for real: a small preloaded library replaces
clock_gettime so that CLOCK_REALTIME reads 1969 while a flag file exists. The
module calls the C library's clock through the dynamic linker, so the
replacement is the one it sees.
"""

import re
import shutil
import subprocess

import pytest

from conftest import run_python

SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

typedef int (*clock_gettime_fn)(clockid_t, struct timespec *);

int clock_gettime(clockid_t clock, struct timespec *now) {
  static clock_gettime_fn real;
  if (!real) real = (clock_gettime_fn)dlsym(RTLD_NEXT, "clock_gettime");
  int result = real(clock, now);
  const char *flag = getenv("CLOCK_SHIM_FLAG");
  if (result == 0 && clock == CLOCK_REALTIME && flag && access(flag, F_OK) == 0) {
    now->tv_sec = -1000;  /* 1969-12-31T23:43:20 */
  }
  return result;
}
"""

SCRIPT = r"""
import os, sys
from quorvel_ledger_rs import QuorvelRecorder
path, flag = sys.argv[1], os.environ["CLOCK_SHIM_FLAG"]

def attempt(name, call):
    try:
        result = call()
    except Exception as error:
        print(name, "caught as Exception:", type(error).__name__)
    except BaseException as error:
        print(name, "raised", type(error).__module__, type(error).__qualname__,
              [base.__name__ for base in type(error).__mro__], error.args, flush=True)
    else:
        print(name, "returned", result, flush=True)

poisoned = QuorvelRecorder(path)
open(flag, "w").close()
attempt("commit-before-1970", lambda: poisoned.commit_truth("a", 1.0, "p"))
os.remove(flag)
attempt("commit-after", lambda: poisoned.commit_truth("a", 1.0, "p"))
attempt("verify-after", poisoned.verify_integrity)
other = QuorvelRecorder(path)
attempt("other-commit", lambda: len(other.commit_truth("b", 2.0, "q")))
attempt("other-verify", other.verify_integrity)
attempt("poisoned-again", poisoned.verify_integrity)
print("lines", sum(1 for _ in open(path)))
print("module attribute", hasattr(sys.modules["quorvel_ledger_rs"], "PanicException"))
"""

POISON = "called `Result::unwrap()` on an `Err` value: PoisonError { .. }"
PANIC_MRO = "['PanicException', 'BaseException', 'object']"


@pytest.fixture(scope="module")
def clock_shim(tmp_path_factory):
    compiler = shutil.which("cc")
    assert compiler, "a C compiler (cc) is needed to build the clock shim"
    directory = tmp_path_factory.mktemp("shim")
    source = directory / "clock_shim.c"
    source.write_text(SHIM)
    library = directory / "clock_shim.so"
    subprocess.run([compiler, "-shared", "-fPIC", "-O2", "-o", str(library), str(source), "-ldl"],
                   check=True)
    return library


def test_clock_before_1970_panics_and_poisons_only_that_recorder(clock_shim, tmp_path):
    path = str(tmp_path / "ledger.jsonl")
    flag = str(tmp_path / "clock-before-1970")
    result = run_python(SCRIPT.replace("sys.argv[1]", repr(path)),
                        env_extra={"LD_PRELOAD": str(clock_shim), "CLOCK_SHIM_FLAG": flag})
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    before_1970 = ("system time before Unix epoch: the clock reads "
                   r"1969-12-31T23:43:20(\.\d{3}|\.\d{6}|\.\d{9})?\+00:00")
    assert re.fullmatch(re.escape(f"commit-before-1970 raised quorvel_ledger_rs PanicException "
                                  f"{PANIC_MRO} ('") + before_1970 + re.escape("',)"), lines[0])
    assert lines[1:] == [
        f"commit-after raised quorvel_ledger_rs PanicException {PANIC_MRO} ('{POISON}',)",
        f"verify-after raised quorvel_ledger_rs PanicException {PANIC_MRO} ('{POISON}',)",
        "other-commit returned 64",
        "other-verify returned True",
        f"poisoned-again raised quorvel_ledger_rs PanicException {PANIC_MRO} ('{POISON}',)",
        "lines 1",
        "module attribute False",
    ]

    # One short report per fault on standard error: thread, source location, message.
    reports = result.stderr.splitlines()
    assert len(reports) == 4, result.stderr
    for report in reports:
        assert report.startswith("quorvel_ledger_rs: internal fault in thread ")
        assert " at src/python/module.cpp:" in report
    assert re.search(": " + before_1970 + "$", reports[0])
    assert all(report.endswith(": " + POISON) for report in reports[1:])


def test_panic_exception_passes_through_except_exception(clock_shim, tmp_path):
    flag = str(tmp_path / "flag")
    code = (
        "import tempfile, os\n"
        "from quorvel_ledger_rs import QuorvelRecorder\n"
        "recorder = QuorvelRecorder(os.path.join(tempfile.mkdtemp(), 'l.jsonl'))\n"
        f"open({flag!r}, 'w').close()\n"
        "try:\n"
        "    recorder.commit_truth('a', 1.0, 'p')\n"
        "except Exception:\n"
        "    print('caught by except Exception')\n")
    result = run_python(code, env_extra={"LD_PRELOAD": str(clock_shim), "CLOCK_SHIM_FLAG": flag})
    # Uncaught, it ends the interpreter with a traceback, like any BaseException.
    assert result.returncode == 1
    assert result.stdout == ""
    assert result.stderr.splitlines()[-1].startswith(
        "quorvel_ledger_rs.PanicException: system time before Unix epoch")
