"""What ships: the stripped 32-bit GUI program of at most 32.5 KiB, importing as usual only
Windows' KnownDLLs and only functions that Windows Vista has, with its manifest as its only
resource, and with the server host it was configured with; the very file the end-to-end
tests ran."""
import hashlib
import json
import re
import subprocess
import xml.etree.ElementTree as ElementTree
from pathlib import Path

import pefile
import pytest

from pe_imports import imports

ROOT = Path(__file__).resolve().parents[2]
PRODUCT = ROOT / "build" / "i686" / "DvOrvanneLauncher.exe"
OBJDUMP = "i686-w64-mingw32-objdump"
DEFAULT_HOST = "descargas.dravokorvanne.example"
# Windows takes these from System32 whatever lies beside the program (KnownDLLs on Windows
# 7, 10 and 11 alike); any other DLL is looked for in the program's folder first.
KNOWN_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shell32.dll", "shlwapi.dll", "msvcrt.dll"}
# Delay-loaded, from System32 only, when first called.
DELAY_LOADED = {"winhttp.dll", "bcrypt.dll", "comctl32.dll", "crypt32.dll"}
WINDOWS_VERSIONS = ["2000", "2000 SP3", "XP", "XP SP1", "Vista"]
# 32 KiB, and one more 512-byte block of the file: the manifest needs a section of its own,
# and the check that a download is a program Windows can start fills what was left.
MAX_SIZE = 32 * 1024 + 512


def objdump(*args, path=PRODUCT):
    return subprocess.run([OBJDUMP, *args, str(path)], check=True, capture_output=True, text=True).stdout


@pytest.fixture(scope="module", autouse=True)
def product():
    if not PRODUCT.exists():
        pytest.fail(f"{PRODUCT} is missing: build the i686 preset first (tools/test does)")


def test_is_a_32bit_gui_program():
    assert "file format pei-i386" in objdump("-f")
    headers = objdump("-p")
    assert re.search(r"^Subsystem\s+00000002\s+\(Windows GUI\)", headers, re.M), headers[:2000]
    assert re.search(r"^Magic\s+010b\s+\(PE32\)", headers, re.M)


def listed_imports():
    listed = {}
    for line in (Path(__file__).parent / "imports.txt").read_text().splitlines():
        if line.strip() and not line.startswith("#"):
            dll, function, version = line.split(None, 2)
            listed[dll, function] = version
    return listed


@pytest.mark.parametrize("build", ["i686", "i686-signed"])
def test_imports_only_known_dlls_and_functions_that_vista_has(build):
    path = ROOT / "build" / build / "DvOrvanneLauncher.exe"
    if not path.exists():
        pytest.fail(f"{path} is missing: tools/test builds it")
    static, delayed = imports(path)
    assert set(static) <= KNOWN_DLLS, f"imported as usual, so looked for beside the program first: {set(static) - KNOWN_DLLS}"
    expected_delayed = DELAY_LOADED if build == "i686-signed" else DELAY_LOADED - {"crypt32.dll"}
    assert set(delayed) == expected_delayed

    listed = listed_imports()
    for dll, functions in [*static.items(), *delayed.items()]:
        for function in functions:
            version = listed.get((dll, function))
            assert version, f"{dll} {function} is not in tests/release/imports.txt: add it with the first Windows that has it"
            assert WINDOWS_VERSIONS.index(version) <= WINDOWS_VERSIONS.index("Vista"), f"{dll} {function}: {version}"


def test_is_at_most_32_kib():
    # What a player downloads first and every scanner reads. Nearly all a change could add
    # is the library's exception runtime or C99 formatter coming back in.
    size = PRODUCT.stat().st_size
    assert size <= MAX_SIZE, f"{size} bytes, more than {MAX_SIZE}"


def test_is_stripped():
    assert "no symbols" in objdump("-t")


ASM_V1, ASM_V3 = "{urn:schemas-microsoft-com:asm.v1}", "{urn:schemas-microsoft-com:asm.v3}"
COMPATIBILITY = "{urn:schemas-microsoft-com:compatibility.v1}"
# Every element of the manifest with its attributes, from Microsoft's "Application
# manifests", "Enabling visual styles" (the common controls 6) and "Targeting your
# application for Windows" (supportedOS: Vista, 7, 8, 8.1, 10 and 11).
MANIFEST = sorted([
    ("assembly", {"manifestVersion": "1.0"}),
    ("assembly/dependency", {}),
    ("assembly/dependency/dependentAssembly", {}),
    ("assembly/dependency/dependentAssembly/assemblyIdentity",
     {"type": "win32", "name": "Microsoft.Windows.Common-Controls", "version": "6.0.0.0",
      "processorArchitecture": "*", "publicKeyToken": "6595b64144ccf1df", "language": "*"}),
    ("assembly/v3:trustInfo", {}),
    ("assembly/v3:trustInfo/v3:security", {}),
    ("assembly/v3:trustInfo/v3:security/v3:requestedPrivileges", {}),
    ("assembly/v3:trustInfo/v3:security/v3:requestedPrivileges/v3:requestedExecutionLevel",
     {"level": "asInvoker", "uiAccess": "false"}),
    ("assembly/compatibility:compatibility", {}),
    ("assembly/compatibility:compatibility/compatibility:application", {}),
    *[("assembly/compatibility:compatibility/compatibility:application/compatibility:supportedOS", {"Id": guid})
      for guid in ["{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                   "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                   "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"]],
], key=repr)


def elements(node, parent=""):
    name = (node.tag.replace(ASM_V1, "").replace(ASM_V3, "v3:")
            .replace(COMPATIBILITY, "compatibility:"))
    path = f"{parent}/{name}" if parent else name
    yield path, dict(node.attrib)
    for child in node:
        yield from elements(child, path)


@pytest.mark.parametrize("build", ["i686", "i686-signed", "x64"])
def test_only_resource_is_the_manifest_windows_reads(build):
    path = ROOT / "build" / build / "DvOrvanneLauncher.exe"
    if not path.exists():
        pytest.fail(f"{path} is missing: tools/test builds it")
    pe = pefile.PE(str(path))
    resources = [(kind.id, name.id, language) for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries
                 for name in kind.directory.entries for language in name.directory.entries]
    # RT_MANIFEST (24), ID 1: the manifest Windows reads as it creates the process.
    assert [(kind, name) for kind, name, _ in resources] == [(24, 1)]
    data = resources[0][2].data.struct
    manifest = pe.get_data(data.OffsetToData, data.Size)
    assert sorted(elements(ElementTree.fromstring(manifest)), key=repr) == MANIFEST


def test_is_the_very_file_the_end_to_end_tests_ran():
    # tools/run-tests runs the end-to-end tests first; each of them records what it copied
    # into the player's folder.
    record = PRODUCT.parent / "e2e-ran.json"
    if not record.exists():
        pytest.fail(f"{record} is missing: the end-to-end tests (tools/run-tests) have not run this build")
    # Where this machine runs no 32-bit code the end-to-end tests run the shipped file in the
    # emulated PC; a run of only the 64-bit build leaves no record here, and fails this.
    ran = json.loads(record.read_text())
    assert ran == {"file": str(PRODUCT), "sha256": hashlib.sha256(PRODUCT.read_bytes()).hexdigest(),
                   "runs_32_bit": True, "where": ran.get("where")}
    assert ran["where"] in ("host WoW64", "emulated PC")


def utf16(text):
    return text.encode("utf-16-le")


def test_carries_the_configured_host_and_texts():
    image = PRODUCT.read_bytes()
    cache = (ROOT / "build" / "i686" / "CMakeCache.txt").read_text()
    host = re.search(r"^UPDATER_SERVER_HOST:STRING=(.*)$", cache, re.M).group(1)
    assert utf16(host) in image
    for text in ["Conectando con ", "No se pudo conectar con ",
                 "Si sigue fallando, descárgalo en ", "Dravok Orvanne - Actualizando el launcher"]:
        assert utf16(text) in image, text


def test_another_configured_host_replaces_the_default(tmp_path):
    other = "descargas.otro-estudio.example"
    build = ROOT / "build" / "i686-release-check"
    subprocess.run(["cmake", "--preset", "i686", "-B", str(build), f"-DUPDATER_SERVER_HOST={other}"],
                   cwd=ROOT, check=True, capture_output=True)
    subprocess.run(["cmake", "--build", str(build), "--target", "DvOrvanneLauncher", "-j2"],
                   cwd=ROOT, check=True, capture_output=True)
    image = (build / "DvOrvanneLauncher.exe").read_bytes()
    assert utf16(other) in image
    assert utf16(DEFAULT_HOST) not in image


def test_refuses_a_host_that_is_not_a_plain_name(tmp_path):
    result = subprocess.run(["cmake", "--preset", "i686", "-B", str(tmp_path / "b"),
                             '-DUPDATER_SERVER_HOST=evil.example/"); system("x'],
                            cwd=ROOT, capture_output=True, text=True)
    assert result.returncode != 0
    assert "UPDATER_SERVER_HOST must be a plain host name" in result.stderr


SIGNATURE_PATH = "/descargas/launcher_full.sha256.sig"
SIGNED_PRODUCT = ROOT / "build" / "i686-signed" / "DvOrvanneLauncher.exe"
TEST_PUBLISHER_KEY = ROOT / "build" / "test-publisher" / "publisher.pub.pem"


def test_without_a_key_there_is_no_signature_check():
    assert "crypt32.dll" not in imports(PRODUCT)[1]
    assert utf16(SIGNATURE_PATH) not in PRODUCT.read_bytes()


def test_with_a_key_the_signature_check_and_the_key_are_built_in():
    if not SIGNED_PRODUCT.exists():
        pytest.fail(f"{SIGNED_PRODUCT} is missing: tools/test builds it")
    assert "crypt32.dll" in imports(SIGNED_PRODUCT)[1]
    image = SIGNED_PRODUCT.read_bytes()
    assert utf16(SIGNATURE_PATH) in image
    spki = subprocess.run(["openssl", "pkey", "-pubin", "-in", TEST_PUBLISHER_KEY, "-outform", "DER"],
                          check=True, capture_output=True).stdout
    assert spki[-65:] in image


def genpkey(path, *options):
    subprocess.run(["openssl", "genpkey", *options, "-out", path], check=True, capture_output=True)


@pytest.mark.parametrize("make_key, message", [
    (lambda path: None, "no such file"),
    (lambda path: genpkey(path, "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256"), "is not a PEM public key"),
    (lambda path: (genpkey(path.with_suffix(".key"), "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-384"),
                   subprocess.run(["openssl", "pkey", "-in", path.with_suffix(".key"), "-pubout", "-out", path],
                                  check=True)),
     "is not a P-256 (prime256v1) public key"),
], ids=["missing", "private-key", "p384-public-key"])
def test_refuses_a_publisher_key_that_is_not_a_p256_public_key(tmp_path, make_key, message):
    key = tmp_path / "publisher.pub.pem"
    make_key(key)
    result = subprocess.run(["cmake", "--preset", "i686", "-B", str(tmp_path / "b"), f"-DUPDATER_PUBLISHER_KEY={key}"],
                            cwd=ROOT, capture_output=True, text=True)
    assert result.returncode != 0
    assert message in " ".join(result.stderr.split())


HARDENED = ["IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE", "IMAGE_DLLCHARACTERISTICS_NX_COMPAT",
            "IMAGE_DLLCHARACTERISTICS_NO_SEH", "IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE"]


@pytest.mark.parametrize("build, flags", [
    ("i686", HARDENED), ("i686-signed", HARDENED),
    ("x64", HARDENED + ["IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA"]),
])
def test_header_is_hardened_for_vista_and_has_no_build_time(build, flags):
    path = ROOT / "build" / build / "DvOrvanneLauncher.exe"
    if not path.exists():
        pytest.fail(f"{path} is missing: tools/test builds it")
    pe = pefile.PE(str(path), fast_load=True)
    header = pe.OPTIONAL_HEADER
    set_flags = {name for name, value in pefile.dll_characteristics if isinstance(name, str)
                 and header.DllCharacteristics & value}
    assert set_flags == set(flags)
    assert (header.MajorSubsystemVersion, header.MinorSubsystemVersion) == (6, 0)
    assert (header.MajorOperatingSystemVersion, header.MinorOperatingSystemVersion) == (6, 0)
    assert pe.FILE_HEADER.TimeDateStamp == 0
    assert header.CheckSum == pe.generate_checksum()


def disassembly():
    return objdump("-d", "--no-show-raw-insn")


def test_no_code_sets_up_a_structured_exception_handler():
    # NO_SEH is true only while no code of the file pushes a handler frame onto the
    # thread's chain at fs:0 (fs:0x18, the thread block's own address, is no frame).
    frames = re.findall(r"^.*%fs:0x0\b.*$", disassembly(), re.M)
    assert frames == []


def linked_address(symbol):
    text = (PRODUCT.parent / "DvOrvanneLauncher.map").read_text()
    return int(re.search(rf"^\s+0x([0-9a-f]+)\s+{symbol}$", text, re.M).group(1), 16)


def test_functions_with_arrays_check_a_guard_seeded_at_start():
    guard, fail = linked_address("__stack_chk_guard"), linked_address("__stack_chk_fail")
    lines = disassembly().splitlines()
    failing = [i for i, line in enumerate(lines) if re.search(rf"\scall\s+(0x)?{fail:x}\b", line)]
    # Each call of the failure follows the comparison of the frame's copy with the guard.
    checked = [i for i in failing if any(re.search(rf"\ssub\s+0x{guard:x},", line) for line in lines[i - 4:i])]
    assert len(failing) >= 10 and checked == failing
    # The guard the file holds is overwritten at start, with a value of this run.
    assert any(re.search(rf"\smov\s+%e[a-d]x,0x{guard:x}$", line) for line in lines)
