"""The stable-ABI symbol check, on the built module and on a library that breaks it."""

import shutil
import subprocess
import sys

from conftest import MODULE_DIR, REPO_ROOT

CHECK = str(REPO_ROOT / "scripts" / "check-abi3-symbols")


def run_check(library):
    return subprocess.run([sys.executable, CHECK, str(library)], capture_output=True, text=True)


def test_built_module_uses_only_the_stable_abi():
    result = run_check(MODULE_DIR / "quorvel_ledger_rs.abi3.so")
    assert result.returncode == 0, result.stdout + result.stderr
    assert "are in the stable ABI" in result.stdout


def test_names_outside_the_oldest_stable_abi_are_reported(tmp_path):
    source = tmp_path / "outside.c"
    source.write_text(
        "extern void *PyType_FromSpec(void *);\n"
        "extern void *Py_NewRef(void *);\n"                       # 3.10
        "extern const char *PyUnicode_AsUTF8AndSize(void *, long *);\n"  # limited since 3.10
        "extern void *_PyObject_GC_Malloc(unsigned long);\n"      # never limited
        "void *use(void *o) { PyUnicode_AsUTF8AndSize(o, 0); _PyObject_GC_Malloc(8);\n"
        "                     return Py_NewRef(PyType_FromSpec(o)); }\n")
    library = tmp_path / "outside.so"
    subprocess.run([shutil.which("cc"), "-shared", "-fPIC", "-o", str(library), str(source)],
                   check=True)
    result = run_check(library)
    assert result.returncode == 1
    assert result.stdout.splitlines()[-1] == (
        "abi3 symbols: NOT in the stable ABI: PyUnicode_AsUTF8AndSize Py_NewRef "
        "_PyObject_GC_Malloc")
