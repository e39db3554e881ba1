"""What ships: the stripped 32-bit GUI program of at most 32 KiB, importing as usual only
Windows' KnownDLLs and only functions that Windows Vista has, with no resources, and with the server host it was configured with; the very file the
end-to-end tests ran."""
import hashlib
import json
import re
import subprocess
from pathlib import Path

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
MAX_SIZE = 32 * 1024


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


def test_has_no_resources_and_is_stripped():
    sections = objdump("-h")
    assert ".rsrc" not in sections
    assert "no symbols" in objdump("-t")


def test_is_the_very_file_the_end_to_end_tests_ran():
    # tools/run-tests runs the end-to-end tests first; each of them records what it copied
    # into the player's folder.
    record = PRODUCT.parent / "e2e-ran.json"
    if not record.exists():
        pytest.fail(f"{record} is missing: the end-to-end tests (tools/run-tests) have not run this build")
    ran = json.loads(record.read_text())
    if ran.get("runs_32_bit") is False:
        pytest.skip(f"this machine cannot run 32-bit programs: the end-to-end tests ran {ran['file']}, "
                    "the 64-bit build of the same sources, not the shipped file")
    assert ran == {"file": str(PRODUCT), "sha256": hashlib.sha256(PRODUCT.read_bytes()).hexdigest(),
                   "runs_32_bit": True}


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
