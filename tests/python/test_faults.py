"""Fault injection: the ways a file system can fail a ledger, as one table.

Each row runs its scenario in a fresh interpreter, so that what the row
changes for the whole process (a file size limit, the user, a preloaded shim,
the current directory) stays there, and so that a crash or a
hang shows up as a failed row. The scenario reports what happened as a small
record, which must equal the row's expectation exactly:

  raised        the exception of the call that met the fault ("Type: message")
  verify        verify_integrity while the fault lasts (True, False or "Type: message")
  file          the ledger's lines while the fault lasts (see describe_lines)
  next          the next commit of the same recorder once the fault is gone:
                "index I after E", E naming the entry its prev_hash is the
                signature of, or the exception it raised
  final         the ledger's lines after that commit
  verify_after  verify_integrity then
  reopened      the first commit of a recorder opened last, on the same path

and keys of their own where a row needs them. Entries are named by the order
in which commits returned their signatures: e0, e1, ...; "torn" is a line
that is not an entry (a write cut short), and "torn+e2" a line on which e2
follows such bytes. No row may crash or hang, drop an entry whose commit
returned, or return a signature for a line that is not in the file whole.
"""

import ctypes
import json
import os
import pwd
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pytest

from quorvel_ledger_rs import QuorvelRecorder
from conftest import MODULE_DIR
from harden_support import child_env
from ledger_check import GENESIS, parse_line

TESTS_DIR = Path(__file__).resolve().parent

# The shim that a few rows preload. It stands between the module and the C
# library's open, read, pread and write, for files whose path contains
# "/shimmed/" only, and in the mode that shim_set_mode sets:
#   0: passes every call through;
#   1: fails every other call with EINTR and lets the others transfer half of
#      what they were asked for (open: EINTR every other call);
#   2: fails every read and write with EIO;
#   3: fails every statx (whatever the file) with ENOSYS, as a kernel without
#      it or a sandbox that refuses it does.
SHIM_SOURCE = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#define MARKER "/shimmed/"
enum { OPEN, READ, PREAD, WRITE, CALLS };
static int mode;
static unsigned long calls[CALLS];
static long interrupted[CALLS], shortened[CALLS];
static long statx_refused;

void shim_set_mode(int m) { mode = m; }
long shim_interrupted(int call) { return interrupted[call]; }
long shim_shortened(int call) { return shortened[call]; }
long shim_statx_refused(void) { return statx_refused; }

static int marked_fd(int fd) {
  char link[64], target[4096];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, target, sizeof target - 1);
  if (n <= 0) return 0;
  target[n] = 0;
  return strstr(target, MARKER) != NULL;
}

/* Before a call on a marked file: -1 with errno set to fail it, else the
   count to pass on (maybe shortened). */
static long inject(int call, size_t n) {
  if (mode == 2 && call != OPEN) { errno = EIO; return -1; }
  if (mode != 1) return (long)n;
  if (calls[call]++ % 2 == 0) { interrupted[call]++; errno = EINTR; return -1; }
  if (n > 1) { shortened[call]++; return (long)((n + 1) / 2); }
  return (long)n;
}

typedef int (*open_fn)(const char *, int, ...);
typedef ssize_t (*read_fn)(int, void *, size_t);
typedef ssize_t (*pread_fn)(int, void *, size_t, off_t);
typedef ssize_t (*write_fn)(int, const void *, size_t);
typedef int (*statx_fn)(int, const char *, int, unsigned int, struct statx *);

/* The C library's own function, looked up once. */
#define REAL(name) \
  static name##_fn real_##name; \
  if (!real_##name) real_##name = (name##_fn)dlsym(RTLD_NEXT, #name)

int open(const char *path, int flags, ...) {
  REAL(open);
  mode_t perms = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list args;
    va_start(args, flags);
    perms = (mode_t)va_arg(args, int);
    va_end(args);
  }
  int marked = strstr(path, MARKER) != NULL;
  if (marked && inject(OPEN, 1) < 0) return -1;
  return real_open(path, flags, perms);
}

ssize_t read(int fd, void *buffer, size_t n) {
  REAL(read);
  if (!marked_fd(fd)) return real_read(fd, buffer, n);
  long allowed = inject(READ, n);
  if (allowed < 0) return -1;
  return real_read(fd, buffer, (size_t)allowed);
}

ssize_t pread(int fd, void *buffer, size_t n, off_t offset) {
  REAL(pread);
  if (!marked_fd(fd)) return real_pread(fd, buffer, n, offset);
  long allowed = inject(PREAD, n);
  if (allowed < 0) return -1;
  return real_pread(fd, buffer, (size_t)allowed, offset);
}

ssize_t write(int fd, const void *buffer, size_t n) {
  REAL(write);
  if (!marked_fd(fd)) return real_write(fd, buffer, n);
  long allowed = inject(WRITE, n);
  if (allowed < 0) return -1;
  return real_write(fd, buffer, (size_t)allowed);
}

int statx(int dirfd, const char *path, int flags, unsigned int mask, struct statx *out) {
  REAL(statx);
  if (mode == 3) { statx_refused++; errno = ENOSYS; return -1; }
  return real_statx(dirfd, path, flags, mask, out);
}
"""
SHIM_CALLS = ["open", "read", "pread", "write"]


# --- run in the child interpreter -------------------------------------------

class Ledger:
    """One scenario's bookkeeping: the signatures that commits returned, by name."""

    def __init__(self):
        self.names = {GENESIS: "GENESIS"}
        self.files = []  # where entries may be looked up

    def commit(self, recorder, actor="actor", delta=1.5, payload="payload", name=None):
        """Commits; returns the new entry's name, or the exception as text."""
        try:
            signature = recorder.commit_truth(actor, delta, payload)
        except Exception as error:  # the row states which
            return failure(error)
        name = name or f"e{sum(1 for n in self.names.values() if n.startswith('e'))}"
        self.names[signature] = name
        return name

    def next(self, recorder, **commit):
        """Commits and tells where the entry went: "index I after E" or the exception."""
        return self.where(self.commit(recorder, **commit))

    def where(self, outcome):
        """"index I after E" for the entry named `outcome`; a failure's text as it is."""
        signatures = [signature for signature, name in self.names.items() if name == outcome]
        if not signatures:
            return outcome
        entry = self.entry(signatures[0])
        return f"index {entry['index']} after {self.names.get(entry['prev_hash'], '?')}"

    def entry(self, signature):
        for path in self.files:
            for line in read_bytes(path).split(b"\n"):
                start = line.rfind(b'{"index":')
                if start >= 0 and signature.encode() in line[start:]:
                    return json.loads(line[start:])
        raise AssertionError(f"no line holds {signature}")

    def describe(self, path):
        return describe_lines(read_bytes(path), self.names) if os.path.lexists(path) else None


def failure(error):
    return f"{type(error).__name__}: {error}"


def read_bytes(path):
    with open(path, "rb") as file:
        return file.read()


def describe_lines(data, names):
    """One token per line: an entry's name, "blank" for an empty line, "torn"
    for other bytes that are not an entry, "torn+NAME" for an entry that
    follows such bytes on its line, and " (unterminated)" added to a last line
    without a line feed."""
    tokens = []
    pieces = data.split(b"\n")
    for number, piece in enumerate(pieces):
        terminated = number < len(pieces) - 1
        if not piece and not terminated:
            break
        token = "blank" if not piece else entry_name(piece, names)
        if token is None:
            start = piece.rfind(b'{"index":')
            glued = entry_name(piece[start:], names) if start > 0 else None
            token = f"torn+{glued}" if glued else "torn"
        tokens.append(token if terminated else token + " (unterminated)")
    return tokens


def entry_name(piece, names):
    try:
        entry = parse_line(piece.decode("utf-8") + "\n")
    except (AssertionError, ValueError):
        return None
    return names.get(entry["signature"], "unacknowledged")


def verdict(recorder):
    try:
        return recorder.verify_integrity()
    except Exception as error:
        return failure(error)


def load_shim():
    return ctypes.CDLL(os.environ["FAULT_SHIM"])


def with_two_entries(work, ledger, path=None):
    path = path or work / "ledger.jsonl"
    ledger.files = [path]
    recorder = QuorvelRecorder(str(path))
    assert [ledger.commit(recorder), ledger.commit(recorder)] == ["e0", "e1"]
    return path, recorder


def finish(outcome, path, recorder, ledger, reopen=True):
    """The common ending: the next commit, the file, the verdict and, unless
    told otherwise, a reopened recorder."""
    outcome.update(next=ledger.next(recorder), final=ledger.describe(path),
                   verify_after=verdict(recorder))
    if reopen:
        outcome["reopened"] = ledger.next(QuorvelRecorder(str(path)), name="r")
    return outcome


def scenario_missing_directory(work, ledger):
    path = work / "missing" / "ledger.jsonl"
    recorder = QuorvelRecorder(str(path))
    outcome = {"raised": ledger.commit(recorder), "verify": verdict(recorder),
               "file": ledger.describe(path)}
    os.mkdir(work / "missing")
    ledger.files = [path]
    return finish(outcome, path, recorder, ledger, reopen=False)


def scenario_directory_as_path(work, ledger):
    path = work / "ledger.jsonl"
    path.mkdir()
    recorder = QuorvelRecorder(str(path))
    outcome = {"raised": ledger.commit(recorder), "verify": verdict(recorder),
               "file": "a directory" if path.is_dir() else "?"}
    path.rmdir()
    ledger.files = [path]
    return finish(outcome, path, recorder, ledger, reopen=False)


def scenario_device_full(work, ledger):
    """The ledger path is a symbolic link to /dev/full, later removed."""
    path = work / "ledger.jsonl"
    path.symlink_to("/dev/full")
    recorder = QuorvelRecorder(str(path))
    outcome = {"raised": ledger.commit(recorder), "verify": verdict(recorder)}
    outcome["raised again"] = ledger.commit(recorder)
    path.unlink()
    ledger.files = [path]
    return finish(outcome, path, recorder, ledger)


def scenario_file_size_limit(work, ledger):
    """RLIMIT_FSIZE lets the third line in only in part (SIGXFSZ ignored)."""
    path, recorder = with_two_entries(work, ledger)
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    limits = resource.getrlimit(resource.RLIMIT_FSIZE)
    resource.setrlimit(resource.RLIMIT_FSIZE, (path.stat().st_size + 40, limits[1]))
    outcome = {"raised": ledger.commit(recorder), "verify": verdict(recorder),
               "file": ledger.describe(path)}
    resource.setrlimit(resource.RLIMIT_FSIZE, limits)
    return finish(outcome, path, recorder, ledger)


def scenario_write_only(work, ledger):
    """Run as an unprivileged user: the ledger may be appended to, not read."""
    path, recorder = with_two_entries(work, ledger)
    path.chmod(0o200)
    opened_meanwhile = QuorvelRecorder(str(path))
    committed = ledger.commit(recorder)
    outcome = {"verify": verdict(recorder)}
    meanwhile = ledger.commit(opened_meanwhile, name="m0")
    path.chmod(0o600)
    outcome.update({"next": ledger.where(committed), "opened meanwhile": ledger.where(meanwhile),
                    "file": ledger.describe(path)})
    outcome.update(verify_after=verdict(recorder),
                   reopened=ledger.next(QuorvelRecorder(str(path)), name="r"))
    return outcome


def scenario_no_access(work, ledger):
    """Run as an unprivileged user: the ledger may be neither read nor written."""
    path, recorder = with_two_entries(work, ledger)
    path.chmod(0)
    outcome = {"raised": ledger.commit(recorder), "verify": verdict(recorder)}
    path.chmod(0o600)
    outcome["file"] = ledger.describe(path)
    return finish(outcome, path, recorder, ledger)


def scenario_removed(work, ledger):
    path, recorder = with_two_entries(work, ledger)
    path.unlink()
    outcome = {"verify": verdict(recorder), "file": ledger.describe(path)}
    return finish(outcome, path, recorder, ledger)


def scenario_replaced(work, ledger):
    """Another ledger of one entry (x0) is renamed over the path."""
    path, recorder = with_two_entries(work, ledger)
    other = work / "other.jsonl"
    ledger.commit(QuorvelRecorder(str(other)), name="x0")
    os.replace(other, path)
    outcome = {"verify": verdict(recorder), "file": ledger.describe(path)}
    return finish(outcome, path, recorder, ledger)


def scenario_truncated_to_zero(work, ledger):
    path, recorder = with_two_entries(work, ledger)
    os.truncate(path, 0)
    outcome = {"verify": verdict(recorder), "file": ledger.describe(path)}
    return finish(outcome, path, recorder, ledger)


def scenario_truncated_inside_a_line(work, ledger):
    path, recorder = with_two_entries(work, ledger)
    os.truncate(path, path.stat().st_size - 30)
    outcome = {"verify": verdict(recorder), "file": ledger.describe(path)}
    return finish(outcome, path, recorder, ledger)


def scenario_interrupted_and_short_calls(work, ledger):
    """Every other open, read, pread and write fails with EINTR, the others
    transfer half of what was asked; big lines make many calls."""
    shim = load_shim()
    shim.shim_set_mode(1)
    path = work / "shimmed" / "ledger.jsonl"
    path.parent.mkdir()
    ledger.files = [path]
    recorder = QuorvelRecorder(str(path))
    committed = [ledger.commit(recorder, payload="x" * 50000) for _ in range(3)]
    reopened = QuorvelRecorder(str(path))
    outcome = {"raised": None if committed == ["e0", "e1", "e2"] else committed,
               "verify": verdict(recorder),
               "reopened": ledger.next(reopened, payload="y" * 20000, name="r")}
    outcome["verify_after"] = verdict(reopened)
    shim.shim_set_mode(0)
    outcome.update(final=ledger.describe(path),
                   interrupted=[name for number, name in enumerate(SHIM_CALLS)
                                if shim.shim_interrupted(number) > 0],
                   shortened=[name for number, name in enumerate(SHIM_CALLS)
                              if shim.shim_shortened(number) > 0])
    return outcome


def scenario_read_and_write_errors(work, ledger):
    """Every read and write of the ledger fails with EIO for a while."""
    shim = load_shim()
    (work / "shimmed").mkdir()
    path, recorder = with_two_entries(work, ledger, work / "shimmed" / "ledger.jsonl")
    shim.shim_set_mode(2)
    opened_meanwhile = QuorvelRecorder(str(path))
    outcome = {"raised": ledger.commit(recorder), "verify": verdict(recorder)}
    shim.shim_set_mode(0)
    outcome.update(file=ledger.describe(path),
                   **{"opened meanwhile": ledger.next(opened_meanwhile, name="m0")})
    return finish(outcome, path, recorder, ledger, reopen=False)


def scenario_unreadable_ledger_ending_inside_a_line(work, ledger):
    """Bytes that are not UTF-8, then the chain with its last line feed cut
    off: a recorder opened on it cannot read it and starts a new chain, and
    its first entry must still not join that last line."""
    path, _ = with_two_entries(work, ledger)
    path.write_bytes(b"\xff\n" + read_bytes(path)[:-1])
    opened = QuorvelRecorder(str(path))
    outcome = {"verify": verdict(opened), "file": ledger.describe(path),
               "next": ledger.next(opened, name="r")}
    outcome["final"] = ledger.describe(path)
    return outcome


def scenario_special_files_are_refused(work, ledger):
    """A FIFO without a reader (whose open would block for good) and then a
    character device (which would swallow the entry) stand in the ledger's
    place: each commit returns at once with an open failure, nothing is
    written, and the recorder's chain does not move."""
    path, recorder = with_two_entries(work, ledger)
    saved = path.with_name("saved")
    path.rename(saved)
    os.mkfifo(path)
    started = time.monotonic()
    outcome = {"FIFO: raised": ledger.commit(recorder),
               "FIFO: returned at once": time.monotonic() - started < 5}
    path.unlink()
    path.symlink_to("/dev/null")
    outcome["device: raised"] = ledger.commit(recorder)
    path.unlink()
    saved.rename(path)
    outcome["file"] = ledger.describe(path)
    return finish(outcome, path, recorder, ledger)


def scenario_special_files_are_refused_without_statx(work, ledger):
    """The same where the system has no statx: the append asks fstat instead."""
    shim = load_shim()
    shim.shim_set_mode(3)
    outcome = scenario_special_files_are_refused(work, ledger)
    outcome["statx refused"] = shim.shim_statx_refused() > 0
    return outcome


def scenario_nul_in_path(work, ledger):
    outcome = {}
    for where, path in (("name", f"{work}/led\0ger.jsonl"), ("directory", f"{work}/a\0b/l.jsonl")):
        recorder = QuorvelRecorder(path)
        outcome[f"{where}: raised"] = ledger.commit(recorder)
        outcome[f"{where}: verify"] = verdict(recorder)
    outcome["created"] = sorted(os.listdir(work))
    return outcome


def scenario_non_utf8_directory(work, ledger):
    """The current directory's name is Latin-1 "café": a str path cannot name it
    except relative to it."""
    directory = bytes(work) + b"/caf\xe9"
    os.mkdir(directory)
    os.chdir(directory)
    ledger.files = ["ledger.jsonl"]
    recorder = QuorvelRecorder("ledger.jsonl")
    assert [ledger.commit(recorder), ledger.commit(recorder)] == ["e0", "e1"]
    outcome = {"verify": verdict(recorder),
               "reopened": ledger.next(QuorvelRecorder("ledger.jsonl"), name="r")}
    try:
        QuorvelRecorder(os.getcwd() + "/ledger.jsonl")  # os.getcwd() holds '\udce9'
    except UnicodeEncodeError as error:
        outcome["absolute str path"] = (f"{type(error).__name__}: {error.reason}: "
                                        f"{error.object[error.start:error.end]!r}")
    outcome.update(final=ledger.describe("ledger.jsonl"), verify_after=verdict(recorder),
                   created=sorted(os.listdir(".")))
    return outcome


def scenario_symbolic_link_loop(work, ledger):
    (work / "loop").symlink_to("loop")
    inside = QuorvelRecorder(str(work / "loop" / "ledger.jsonl"))
    outcome = {"through the loop: raised": ledger.commit(inside)}
    recorder = QuorvelRecorder(str(work / "loop"))
    outcome.update(raised=ledger.commit(recorder), verify=verdict(recorder))
    (work / "loop").unlink()
    ledger.files = [work / "loop"]
    outcome.update(next=ledger.next(recorder), final=ledger.describe(work / "loop"),
                   verify_after=verdict(recorder))
    return outcome


def scenario_names_too_long(work, ledger):
    outcome = {}
    for what, path in (("256-byte name", f"{work}/{'n' * 256}"),
                       ("5000-byte path", f"{work}/{'d/' * 2500}ledger.jsonl")):
        recorder = QuorvelRecorder(path)
        outcome[f"{what}: raised"] = ledger.commit(recorder)
        outcome[f"{what}: verify"] = verdict(recorder)
    outcome["created"] = sorted(os.listdir(work))
    return outcome


def scenario_directory_deeper_than_path_max(work, ledger):
    """The current directory's absolute path is 5000 bytes long, so the ledger
    can be named only relative to it."""
    os.chdir(work)
    for _ in range(25):
        os.mkdir("d" * 200)
        os.chdir("d" * 200)
    ledger.files = ["ledger.jsonl"]
    recorder = QuorvelRecorder("ledger.jsonl")
    assert [ledger.commit(recorder), ledger.commit(recorder)] == ["e0", "e1"]
    return {"verify": verdict(recorder),
            "reopened": ledger.next(QuorvelRecorder("ledger.jsonl"), name="r"),
            "final": ledger.describe("ledger.jsonl"), "verify_after": verdict(recorder)}


def child_main():
    """Runs the scenario named by argv[1] in the directory argv[2]; prints its record."""
    name, work = sys.argv[1], Path(sys.argv[2])
    os.chdir(work)
    outcome = globals()[f"scenario_{name}"](work, Ledger())
    print(json.dumps(outcome))


# --- the table ----------------------------------------------------------------

OPEN_FAILED = "OSError: File Open Failed: "
WRITE_FAILED = "OSError: Disk Write Failed: "

ROWS = {
    "missing_directory": {
        "raised": OPEN_FAILED + "No such file or directory (os error 2)", "verify": False,
        "file": None, "next": "index 0 after GENESIS", "final": ["e0"], "verify_after": True},
    "directory_as_path": {
        "raised": OPEN_FAILED + "Is a directory (os error 21)", "verify": False,
        "file": "a directory", "next": "index 0 after GENESIS", "final": ["e0"],
        "verify_after": True},
    # A device is never written to, not even one that would fail every write.
    "device_full": {
        "raised": OPEN_FAILED + "not a regular file", "verify": False,
        "raised again": OPEN_FAILED + "not a regular file",
        "next": "index 0 after GENESIS", "final": ["e0"], "verify_after": True,
        "reopened": "index 1 after e0"},
    # The accepted bytes stay (a torn line without a line feed); the recorder
    # does not move. It knows it tore the line, so its next line starts with
    # a line feed of its own: e2 stands on its own line, where a recorder
    # reopened later finds it. The torn line stays, so verification fails.
    "file_size_limit": {
        "raised": WRITE_FAILED + "File too large (os error 27)", "verify": False,
        "file": ["e0", "e1", "torn (unterminated)"], "next": "index 2 after e1",
        "final": ["e0", "e1", "torn", "e2"], "verify_after": False, "reopened": "index 3 after e2"},
    # Appending needs no read access, so the writer goes on; but verification
    # cannot read the file (False, not an exception), and a recorder opened
    # meanwhile cannot find the chain's end and starts a new chain (m0) in
    # the middle of the ledger. Nor can it tell whether the file ends inside a
    # line, so its first entry goes out behind a line feed of its own: a
    # blank line, which readers skip, where a torn line would have swallowed
    # the entry.
    "write_only": {
        "next": "index 2 after e1", "verify": False, "opened meanwhile": "index 0 after GENESIS",
        "file": ["e0", "e1", "e2", "blank", "m0"], "verify_after": False,
        "reopened": "index 1 after m0"},
    "no_access": {
        "raised": OPEN_FAILED + "Permission denied (os error 13)", "verify": False,
        "file": ["e0", "e1"], "next": "index 2 after e1", "final": ["e0", "e1", "e2"],
        "verify_after": True, "reopened": "index 3 after e2"},
    # The recorder keeps its chain: the new file starts with index 2.
    "removed": {
        "verify": False, "file": None, "next": "index 2 after e1", "final": ["e2"],
        "verify_after": False, "reopened": "index 3 after e2"},
    "replaced": {
        "verify": True, "file": ["x0"], "next": "index 2 after e1", "final": ["x0", "e2"],
        "verify_after": False, "reopened": "index 3 after e2"},
    "truncated_to_zero": {
        "verify": True, "file": [], "next": "index 2 after e1", "final": ["e2"],
        "verify_after": False, "reopened": "index 3 after e2"},
    "truncated_inside_a_line": {
        "verify": False, "file": ["e0", "torn (unterminated)"], "next": "index 2 after e1",
        "final": ["e0", "torn+e2"], "verify_after": False, "reopened": "index 1 after e0"},
    "interrupted_and_short_calls": {
        "raised": None, "verify": True, "reopened": "index 3 after e2", "verify_after": True,
        "final": ["e0", "e1", "e2", "r"], "interrupted": ["open", "read", "pread", "write"],
        "shortened": ["read", "pread", "write"]},
    # A read error is raised by verification; a recorder opened during it
    # starts a new chain, as for an unreadable file.
    "read_and_write_errors": {
        "raised": WRITE_FAILED + "Input/output error (os error 5)",
        "verify": "OSError: Input/output error (os error 5)", "file": ["e0", "e1"],
        "opened meanwhile": "index 0 after GENESIS", "next": "index 2 after e1",
        "final": ["e0", "e1", "m0", "e2"], "verify_after": False},
    # The new chain starts on a line of its own after the unterminated e1.
    "unreadable_ledger_ending_inside_a_line": {
        "verify": "OSError: stream did not contain valid UTF-8",
        "file": ["torn", "e0", "e1 (unterminated)"], "next": "index 0 after GENESIS",
        "final": ["torn", "e0", "e1", "r"]},
    # Only a regular file is written to; the next commit after the files are
    # put back takes the place of the refused ones.
    "special_files_are_refused": {
        "FIFO: raised": OPEN_FAILED + "not a regular file", "FIFO: returned at once": True,
        "device: raised": OPEN_FAILED + "not a regular file", "file": ["e0", "e1"],
        "next": "index 2 after e1", "final": ["e0", "e1", "e2"], "verify_after": True,
        "reopened": "index 3 after e2"},
    "special_files_are_refused_without_statx": {
        "FIFO: raised": OPEN_FAILED + "not a regular file", "FIFO: returned at once": True,
        "device: raised": OPEN_FAILED + "not a regular file", "file": ["e0", "e1"],
        "next": "index 2 after e1", "final": ["e0", "e1", "e2"], "verify_after": True,
        "reopened": "index 3 after e2", "statx refused": True},
    "nul_in_path": {
        "name: raised": OPEN_FAILED + "path contains a NUL byte", "name: verify": False,
        "directory: raised": OPEN_FAILED + "path contains a NUL byte",
        "directory: verify": False, "created": []},
    "non_utf8_directory": {
        "verify": True, "reopened": "index 2 after e1",
        "absolute str path": "UnicodeEncodeError: surrogates not allowed: '\\udce9'",
        "final": ["e0", "e1", "r"], "verify_after": True, "created": ["ledger.jsonl"]},
    "symbolic_link_loop": {
        "through the loop: raised": OPEN_FAILED + "Too many levels of symbolic links (os error 40)",
        "raised": OPEN_FAILED + "Too many levels of symbolic links (os error 40)",
        "verify": False, "next": "index 0 after GENESIS", "final": ["e0"], "verify_after": True},
    "names_too_long": {
        "256-byte name: raised": OPEN_FAILED + "File name too long (os error 36)",
        "256-byte name: verify": False,
        "5000-byte path: raised": OPEN_FAILED + "File name too long (os error 36)",
        "5000-byte path: verify": False, "created": []},
    "directory_deeper_than_path_max": {
        "verify": True, "reopened": "index 2 after e1", "final": ["e0", "e1", "r"],
        "verify_after": True},
}

AS_UNPRIVILEGED_USER = {"write_only", "no_access"}
WITH_SHIM = {"interrupted_and_short_calls", "read_and_write_errors",
             "special_files_are_refused_without_statx"}


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    compiler = shutil.which("cc")
    assert compiler, "a C compiler (cc) is needed to build the fault shim"
    directory = tmp_path_factory.mktemp("fault-shim")
    (directory / "fault_shim.c").write_text(SHIM_SOURCE)
    library = directory / "fault_shim.so"
    subprocess.run([compiler, "-shared", "-fPIC", "-O2", "-Wall", "-Werror", "-o", str(library),
                    str(directory / "fault_shim.c"), "-ldl"], check=True)
    library.parent.chmod(0o755)
    return library


def unprivileged_user():
    """Arguments that run a child as 'nobody' when we are root, so that file
    permissions apply; none when we are not root (they apply already)."""
    if os.geteuid() != 0:
        return {}
    try:
        nobody = pwd.getpwnam("nobody")
    except KeyError:
        pytest.skip("running as root and there is no user 'nobody' to drop to")
    return {"user": nobody.pw_uid, "group": nobody.pw_gid, "extra_groups": []}


@pytest.mark.parametrize("row", list(ROWS))
def test_fault(row, request):
    # A world-readable directory of our own, outside pytest's private one, so
    # that an unprivileged child can work in it; the module and the test's own
    # files are copied in for the same reason.
    work = Path(tempfile.mkdtemp(prefix="quorvel-fault-"))
    try:
        lib = work / "lib"
        lib.mkdir()
        shutil.copy(MODULE_DIR / "quorvel_ledger_rs.abi3.so", lib)
        for helper in ("conftest.py", "ledger_check.py", "harden_support.py", "test_faults.py"):
            shutil.copy(TESTS_DIR / helper, lib)
        scenario_dir = work / "scenario"
        scenario_dir.mkdir()
        env = child_env(PYTHONPATH=str(lib), QUORVEL_MODULE_DIR=str(lib))
        extra = {}
        if row in WITH_SHIM:
            shim = request.getfixturevalue("shim")
            env["FAULT_SHIM"] = str(shim)
            env["LD_PRELOAD"] = ":".join(filter(None, [os.environ.get("LD_PRELOAD"), str(shim)]))
        if row in AS_UNPRIVILEGED_USER:
            extra = unprivileged_user()
            if extra:
                work.chmod(0o755)
                os.chown(scenario_dir, extra["user"], extra["group"])
        started = time.monotonic()
        child = subprocess.run(
            [sys.executable, "-c", "import test_faults; test_faults.child_main()", row,
             str(scenario_dir)], env=env, capture_output=True, text=True, timeout=120, **extra)
        assert child.returncode == 0, child.stdout + child.stderr
        assert child.stderr == ""
        assert json.loads(child.stdout) == ROWS[row], f"after {time.monotonic() - started:.1f}s"
    finally:
        shutil.rmtree(work, ignore_errors=True)
