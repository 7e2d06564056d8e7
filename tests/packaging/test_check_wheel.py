"""scripts/check-wheel refuses a wheel that breaks any of the manylinux_2_36
rules, and names what broke it.

The wheels are made here: a dist-info with a WHEEL file and the three native
files, tiny shared objects compiled for each case. A need for a symbol version
newer than this machine's libraries is made by linking against a stand-in
library of the same name that defines that version.
"""

import subprocess
import sys
import zipfile

import pytest

from conftest import REPO_ROOT

CHECK = REPO_ROOT / "scripts" / "check-wheel"
TAG = "cp36-abi3-manylinux_2_36_x86_64"
NAME = "quorvel_ledger_rs-1.0-%s.whl" % TAG
MODULE = "quorvel_ledger_rs.abi3.so"
AUDIT = "quorvel_ledger_audit/_native.abi3.so"
TOOL = "quorvel_ledger_rs-1.0.data/scripts/quorvel-ledger"

# Stand-in libraries: soname and the version nodes each defines, one symbol a node.
STAND_INS = {
    "libc.so.6": ["GLIBC_2.36", "GLIBC_2.38", "GLIBC_PRIVATE"],
    "libstdc++.so.6": ["GLIBCXX_3.4.30", "GLIBCXX_3.4.31", "CXXABI_1.3.13", "CXXABI_1.3.14"],
    "libgcc_s.so.1": ["GCC_12.0.0", "GCC_13.0.0"],
}


def symbol(version):
    return "probe_" + version.replace(".", "_")


def compile_shared(directory, name, source, *flags):
    (directory / (name + ".c")).write_text(source)
    output = directory / name
    subprocess.run(["gcc", "-shared", "-fPIC", "-o", str(output), str(directory / (name + ".c")),
                    *flags], check=True, capture_output=True)
    return output


def stand_ins(directory):
    """Builds the stand-in libraries in directory/lib; returns the linker flags
    that find them."""
    lib = directory / "lib"
    lib.mkdir()
    for soname, versions in STAND_INS.items():
        source = "".join("int %s(void) { return 0; }\n" % symbol(version) for version in versions)
        script = "".join("%s { global: %s; };\n" % (version, symbol(version))
                         for version in versions)
        (lib / (soname + ".map")).write_text(script)
        compile_shared(lib, soname, source, "-Wl,-soname," + soname,
                       "-Wl,--version-script=" + str(lib / (soname + ".map")))
    return ["-L" + str(lib)]


def needing(directory, name, versions, link_flags):
    """A module that calls one symbol of each version, linked against the
    stand-ins that define them."""
    calls = " + ".join(symbol(version) + "()" for version in versions)
    source = "".join("int %s(void);\n" % symbol(version) for version in versions)
    source += "int PyInit_quorvel_ledger_rs(void) { return %s; }\n" % calls
    libraries = sorted({"-l:" + soname for soname, defined in STAND_INS.items()
                        if set(defined) & set(versions)})
    return compile_shared(directory, name, source, *link_flags, *libraries)


@pytest.fixture(scope="module")
def natives(tmp_path_factory):
    directory = tmp_path_factory.mktemp("natives")
    links = stand_ins(directory)
    plain = compile_shared(directory, "plain.so", "int PyInit_quorvel_ledger_rs(void) { return 0; }\n")
    other_machine = directory / "aarch64.so"
    image = bytearray(plain.read_bytes())
    image[18:20] = (183).to_bytes(2, "little")  # EM_AARCH64
    other_machine.write_bytes(bytes(image))
    leak_map = directory / "leak.map"
    leak_map.write_text("{ global: PyInit_quorvel_ledger_rs; EVP_Digest; EVP_sha256; local: *; };\n")
    built = {
        "plain": plain,
        "other machine": other_machine,
        # The newest versions the policy allows, each from its own library.
        "ceilings": needing(directory, "ceilings.so", ["GLIBC_2.36", "GLIBCXX_3.4.30",
                                                      "CXXABI_1.3.13", "GCC_12.0.0"], links),
        "libssl": compile_shared(
            directory, "libssl.so", "#include <openssl/ssl.h>\n"
            "int PyInit_quorvel_ledger_rs(void) { return SSL_CTX_new(TLS_method()) != 0; }\n",
            "-lssl"),
        # libcrypto.a linked in, with an export list that lets two of its names out.
        "libcrypto exports": compile_shared(
            directory, "leak.so", "#include <openssl/evp.h>\n"
            "int PyInit_quorvel_ledger_rs(void) {\n"
            "  unsigned char digest[32];\n"
            "  return EVP_Digest(\"\", 0, digest, 0, EVP_sha256(), 0);\n}\n",
            "-Wl,--version-script=" + str(leak_map), "-Wl,-Bstatic", "-lcrypto", "-Wl,-Bdynamic"),
    }
    for version in ["GLIBC_2.38", "GLIBC_PRIVATE", "GLIBCXX_3.4.31", "CXXABI_1.3.14",
                    "GCC_13.0.0"]:
        built[version] = needing(directory, version + ".so", [version], links)
    return built


def make_wheel(directory, natives, *, name=NAME, tags=(TAG,), replace=None, leave_out=()):
    """A wheel holding the three native files (plain ones, but for those that
    replace names), without the members in leave_out."""
    members = {MODULE: natives["plain"], AUDIT: natives["plain"], TOOL: natives["plain"]}
    members.update({member: natives[kind] for member, kind in (replace or {}).items()})
    wheel = directory / name
    with zipfile.ZipFile(wheel, "w") as archive:
        archive.writestr("quorvel_ledger_rs-1.0.dist-info/WHEEL",
                         "Wheel-Version: 1.0\nRoot-Is-Purelib: false\n"
                         + "".join("Tag: %s\n" % tag for tag in tags))
        archive.writestr("quorvel_ledger_audit/__init__.py", "")
        for member, path in members.items():
            if member not in leave_out:
                archive.write(path, member)
    return wheel


def check(wheel):
    result = subprocess.run([sys.executable, str(CHECK), str(wheel)], capture_output=True,
                            text=True)
    return result.returncode, result.stdout.splitlines(), result.stderr


def test_a_wheel_that_keeps_to_the_policy_passes(natives, tmp_path):
    # The audit module needs each of the newest versions allowed.
    wheel = make_wheel(tmp_path, natives, replace={AUDIT: "ceilings"})
    assert check(wheel) == (0, [
        "check-wheel: %s: %s, 3 native files (%s, %s, %s)" % (NAME, TAG, AUDIT, TOOL, MODULE)],
        "")


REFUSED = [
    # (case, make_wheel's arguments, the problem reported)
    ("file name tag", {"name": "quorvel_ledger_rs-1.0-cp36-abi3-linux_x86_64.whl"},
     "the file name's tag is cp36-abi3-linux_x86_64, not " + TAG),
    ("WHEEL tag", {"tags": ("cp36-abi3-linux_x86_64",)},
     "quorvel_ledger_rs-1.0.dist-info/WHEEL has the tags cp36-abi3-linux_x86_64, not %s alone"
     % TAG),
    ("a second WHEEL tag", {"tags": (TAG, "cp36-abi3-manylinux_2_37_x86_64")},
     "quorvel_ledger_rs-1.0.dist-info/WHEEL has the tags %s, cp36-abi3-manylinux_2_37_x86_64, "
     "not %s alone" % (TAG, TAG)),
    ("no audit module", {"leave_out": (AUDIT,)}, "holds no " + AUDIT),
    ("no tool", {"leave_out": (TOOL,)}, "holds no NAME.data/scripts/quorvel-ledger"),
    ("other machine", {"replace": {AUDIT: "other machine"}},
     AUDIT + ": built for ELF class 2 machine 183, not x86-64 (class 2, machine 62)"),
    ("libssl", {"replace": {MODULE: "libssl"}},
     MODULE + ": needs libssl.so.3, which is not on the manylinux_2_36 list"),
    ("glibc", {"replace": {TOOL: "GLIBC_2.38"}},
     TOOL + ": needs libc.so.6 version GLIBC_2.38, newer than GLIBC_2.36"),
    ("glibc private", {"replace": {MODULE: "GLIBC_PRIVATE"}},
     MODULE + ": needs libc.so.6 version GLIBC_PRIVATE, which the manylinux_2_36 policy does "
     "not know"),
    ("libstdc++", {"replace": {MODULE: "GLIBCXX_3.4.31"}},
     MODULE + ": needs libstdc++.so.6 version GLIBCXX_3.4.31, newer than GLIBCXX_3.4.30"),
    ("c++ abi", {"replace": {AUDIT: "CXXABI_1.3.14"}},
     AUDIT + ": needs libstdc++.so.6 version CXXABI_1.3.14, newer than CXXABI_1.3.13"),
    ("libgcc_s", {"replace": {MODULE: "GCC_13.0.0"}},
     MODULE + ": needs libgcc_s.so.1 version GCC_13.0.0, newer than GCC_12.0.0"),
    ("libcrypto exports", {"replace": {MODULE: "libcrypto exports"}},
     MODULE + ": exports libcrypto symbols: EVP_Digest, EVP_sha256"),
]


@pytest.mark.parametrize("arguments, problem", [case[1:] for case in REFUSED],
                         ids=[case[0] for case in REFUSED])
def test_a_wheel_that_breaks_a_rule_is_refused(natives, tmp_path, arguments, problem):
    wheel = make_wheel(tmp_path, natives, **arguments)
    assert check(wheel) == (1, ["check-wheel: %s: %s" % (wheel.name, problem)], "")
