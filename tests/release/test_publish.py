"""The studio's side of the download server: tools/publish and the nginx server block."""
import hashlib
import importlib.machinery
import importlib.util
import os
import re
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
PUBLISH = ROOT / "tools" / "publish"


def load_publish():
    loader = importlib.machinery.SourceFileLoader("publish_tool", str(PUBLISH))
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader("publish_tool", loader))
    loader.exec_module(module)
    return module


def run_publish(*args):
    return subprocess.run([str(PUBLISH), *map(str, args)], capture_output=True, text=True)


@pytest.fixture
def launcher(tmp_path):
    path = tmp_path / "launcher.exe"
    path.write_bytes(b"MZ" + os.urandom(3 * 1024 * 1024 + 17))
    return path


def test_writes_package_and_sha256sum_digest_file(tmp_path, launcher):
    out = tmp_path / "www"
    result = run_publish(launcher, out)
    assert result.returncode == 0, result.stderr

    folder = out / "descargas"
    assert (folder / "launcher_full.exe").read_bytes() == launcher.read_bytes()
    digest_text = (folder / "launcher_full.sha256").read_text()
    expected = hashlib.sha256(launcher.read_bytes()).hexdigest()
    assert digest_text == f"{expected}  launcher_full.exe\n"
    assert re.fullmatch(r"[0-9a-f]{64}  launcher_full\.exe\n", digest_text)
    check = subprocess.run(["sha256sum", "-c", "launcher_full.sha256"], cwd=folder, capture_output=True, text=True)
    assert check.returncode == 0, check.stdout + check.stderr
    assert sorted(p.name for p in folder.iterdir()) == ["launcher_full.exe", "launcher_full.sha256"]


@pytest.mark.parametrize("make_launcher, message", [
    (lambda path: None, "no such file"),
    (lambda path: path.write_bytes(b""), "is empty"),
    (lambda path: path.mkdir(), "no such file"),
])
def test_refuses_a_missing_or_empty_launcher(tmp_path, make_launcher, message):
    launcher = tmp_path / "launcher.exe"
    make_launcher(launcher)
    result = run_publish(launcher, tmp_path / "www")
    assert result.returncode == 1
    assert message in result.stderr
    assert not (tmp_path / "www" / "descargas").exists()


def openssl_key(path, *genpkey_options):
    subprocess.run(["openssl", "genpkey", *genpkey_options, "-out", path], check=True, capture_output=True)
    return path


@pytest.fixture
def studio_key(tmp_path):
    return openssl_key(tmp_path / "publisher.key.pem", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256")


@pytest.mark.parametrize("signed, order", [
    (False, ["launcher_full.exe", "launcher_full.sha256"]),
    (True, ["launcher_full.exe", "launcher_full.sha256.sig", "launcher_full.sha256"]),
])
def test_package_is_renamed_into_place_before_the_digest(tmp_path, launcher, studio_key, monkeypatch, signed, order):
    publish = load_publish()
    renamed = []
    real_replace = os.replace
    monkeypatch.setattr(publish.os, "replace", lambda src, dst: (renamed.append(Path(dst).name), real_replace(src, dst)))
    key = ["--key", str(studio_key)] if signed else []
    assert publish.main(["publish", str(launcher), str(tmp_path / "www"), *key]) == 0
    assert renamed == order


def test_signature_verifies_with_openssl_over_the_digest_file(tmp_path, launcher, studio_key):
    out = tmp_path / "www"
    result = run_publish(launcher, out, "--key", studio_key)
    assert result.returncode == 0, result.stderr

    folder = out / "descargas"
    public = tmp_path / "publisher.pub.pem"
    subprocess.run(["openssl", "pkey", "-in", studio_key, "-pubout", "-out", public], check=True)
    verify = ["openssl", "dgst", "-sha256", "-verify", public, "-signature", folder / "launcher_full.sha256.sig"]
    check = subprocess.run([*verify, folder / "launcher_full.sha256"], capture_output=True, text=True)
    assert check.returncode == 0 and check.stdout == "Verified OK\n", check.stdout + check.stderr
    (tmp_path / "altered").write_bytes((folder / "launcher_full.sha256").read_bytes().replace(b"  ", b" *"))
    assert subprocess.run([*verify, tmp_path / "altered"], capture_output=True).returncode == 1
    digest = hashlib.sha256(launcher.read_bytes()).hexdigest()
    assert (folder / "launcher_full.sha256").read_text() == f"{digest}  launcher_full.exe\n"


@pytest.mark.parametrize("make_key", [
    lambda path: openssl_key(path, "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048"),
    lambda path: openssl_key(path, "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-384"),
    lambda path: openssl_key(path, "-algorithm", "ED25519"),
    lambda path: subprocess.run(["openssl", "pkey", "-in", openssl_key(path.with_suffix(".private"), "-algorithm", "EC",
                                 "-pkeyopt", "ec_paramgen_curve:P-256"), "-pubout", "-out", path], check=True),
    lambda path: None,
], ids=["rsa", "p384", "ed25519", "p256-public-key", "missing"])
def test_refuses_a_key_that_is_not_a_p256_private_key(tmp_path, launcher, make_key):
    key = tmp_path / "publisher.key.pem"
    make_key(key)
    result = run_publish(launcher, tmp_path / "www", "--key", key)
    assert result.returncode == 1
    assert f"{key} is not a P-256 (prime256v1) private key; nothing was published" in result.stderr
    assert not (tmp_path / "www").exists()


def test_failed_publish_leaves_the_previous_release_served(tmp_path, launcher, monkeypatch):
    out = tmp_path / "www"
    old = tmp_path / "old.exe"
    old.write_bytes(b"MZ the previous release")
    assert run_publish(old, out).returncode == 0
    folder = out / "descargas"
    before = {p.name: p.read_bytes() for p in folder.iterdir()}

    publish = load_publish()

    def broken_reader(path, digest):
        yield b"MZ partial"
        raise OSError("disk read error")

    monkeypatch.setattr(publish, "read_chunks", broken_reader)
    with pytest.raises(OSError):
        publish.main(["publish", str(launcher), str(out)])
    assert {p.name: p.read_bytes() for p in folder.iterdir()} == before


def test_nginx_server_block_is_valid(tmp_path):
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=test",
                    "-keyout", tmp_path / "key.pem", "-out", tmp_path / "cert.pem"], check=True, capture_output=True)
    block = (ROOT / "deploy" / "nginx-descargas.conf").read_text()
    block = (block.replace("/etc/ssl/descargas/fullchain.pem", str(tmp_path / "cert.pem"))
                  .replace("/etc/ssl/descargas/privkey.pem", str(tmp_path / "key.pem"))
                  .replace("/srv/dravokorvanne", str(tmp_path)))
    (tmp_path / "block.conf").write_text(block)
    (tmp_path / "nginx.conf").write_text(
        f"pid {tmp_path}/nginx.pid;\nerror_log stderr;\nevents {{}}\n"
        f"http {{ access_log off; include {tmp_path}/block.conf; }}\n")
    result = subprocess.run(["nginx", "-t", "-p", str(tmp_path), "-c", str(tmp_path / "nginx.conf")],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
