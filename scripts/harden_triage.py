"""Reads the logs of scripts/harden's steps and decides whether each step passed.

Usage (run by /usr/bin/python3 from scripts/harden):

  harden_triage.py canary ASAN_LOG_DIR             the preloaded ASan runtime reported
                                                   the known leak of the canary process
  harden_triage.py asan ASAN_LOG_DIR FIGURES       no interpreter logged an ASan/UBSan report
  harden_triage.py valgrind VALGRIND_LOG_DIR FIGURES
                                                   memcheck found no error and no definite leak
  harden_triage.py figures FIGURES                 prints the figures gathered by the run

Each check prints what it found and exits 1 when the step failed. FIGURES is a
JSON-lines file (one object with a "test" name and its figures per line); asan
and valgrind append their figures to it.
"""

import json
import re
import sys
from pathlib import Path

CANARY_LEAK = "4099 byte(s) leaked in 1 allocation"
TRACER_GAVE_UP = "LeakSanitizer has encountered a fatal error"
REPORT = re.compile(r"ERROR: AddressSanitizer|runtime error|leaked in")
REPORT_HEAD_LINES = 60


def read(path):
    return path.read_text(errors="replace")


def append_figures(figures_path, figures):
    with open(figures_path, "a") as figures_file:
        figures_file.write(json.dumps(figures) + "\n")


def canary(log_dir):
    """The canary interpreter dropped a block of 4099 bytes: its leak must be reported."""
    if any(CANARY_LEAK in read(log) for log in Path(log_dir).glob("asan.python*")):
        return 0
    print("ASan: the leak check did not report a known leak; is the runtime preloaded?")
    return 1


def asan(log_dir, figures_path):
    """Interpreters' logs fail the step; logs of other programs (the compiler and linker
    that some tests run, which leak on purpose) are counted and ignored.

    LeakSanitizer stops the process's threads with a tracer before it looks for leaks;
    where that tracer cannot work (it crashes on a process that dropped its privileges,
    for one) it gives up with a "fatal error" and finds nothing. Such a log reports no
    fault of ours: it is set aside as tracer-failure.NAME and counted.
    """
    log_dir = Path(log_dir)
    tracer_failures = 0
    for log in sorted(log_dir.rglob("asan.python*")):
        text = read(log)
        if TRACER_GAVE_UP in text and not REPORT.search(text):
            tracer_failures += 1
            log.rename(log_dir / ("tracer-failure." + log.name))

    interpreter_logs = sorted(path for path in log_dir.rglob("*")
                              if path.name.startswith(("asan.python", "ubsan")))
    tool_logs = [path for path in log_dir.rglob("*") if path.is_file()
                 and not path.name.startswith(("asan.python", "ubsan", "tracer-failure."))]
    if tracer_failures:
        print("ASan/UBSan: LeakSanitizer's tracer gave up in %d interpreter(s); no report"
              % tracer_failures)
    if interpreter_logs:
        print("ASan/UBSan reports from interpreters:")
        for log in interpreter_logs:
            print("--- %s" % log)
            print("".join(read(log).splitlines(keepends=True)[:REPORT_HEAD_LINES]), end="")
    print("ASan/UBSan: %d reports from interpreters (leaks reported by %d compiler and linker "
          "processes ignored)" % (len(interpreter_logs), len(tool_logs)))
    append_figures(figures_path, {"test": "ASan/UBSan", "interpreter reports": len(interpreter_logs)})
    return 1 if interpreter_logs else 0


def number(text):
    """1234 for "1,234"."""
    return int(text.replace(",", ""))


def valgrind(log_dir, figures_path):
    """Sums memcheck's summaries over its logs (one per process it ran)."""
    logs = sorted(Path(log_dir).glob("memcheck.*.log"))
    if not logs:
        print("valgrind: no memcheck log in %s" % log_dir)
        return 1
    lost_bytes = lost_blocks = errors = 0
    heap = []
    for log in logs:
        for line in read(log).splitlines():
            fields = line.split()
            if "definitely lost:" in line:
                # ==PID==    definitely lost: 1,234 bytes in 5 blocks
                lost_bytes += number(fields[3])
                lost_blocks += number(fields[6])
            elif "ERROR SUMMARY:" in line:
                # ==PID== ERROR SUMMARY: 0 errors from 0 contexts (suppressed: 0 from 0)
                errors += number(fields[3])
            elif "total heap usage:" in line:
                heap.append(line.split("usage: ", 1)[1])
    print("valgrind: definitely lost %d bytes in %d blocks; %d errors; heap: %s"
          % (lost_bytes, lost_blocks, errors, "\n".join(heap)))
    append_figures(figures_path,
                   {"test": "valgrind", "definitely lost bytes": lost_bytes, "errors": errors})
    return 0 if errors == 0 and lost_bytes == 0 else 1


def figures(figures_path):
    with open(figures_path) as figures_file:
        for line in figures_file:
            figures_of_test = json.loads(line)
            name = figures_of_test.pop("test")
            print(f"{name}: " + ", ".join(f"{key} {value}" for key, value in figures_of_test.items()))
    return 0


COMMANDS = {"canary": (canary, 1), "asan": (asan, 2), "valgrind": (valgrind, 2),
            "figures": (figures, 1)}


def main(argv):
    command = COMMANDS.get(argv[0]) if argv else None
    if command is None or len(argv) - 1 != command[1]:
        sys.exit(__doc__)
    function, _ = command
    return function(*argv[1:])


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
