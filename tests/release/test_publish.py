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


def test_package_is_renamed_into_place_before_the_digest(tmp_path, launcher, monkeypatch):
    publish = load_publish()
    renamed = []
    real_replace = os.replace
    monkeypatch.setattr(publish.os, "replace", lambda src, dst: (renamed.append(Path(dst).name), real_replace(src, dst)))
    assert publish.main(["publish", str(launcher), str(tmp_path / "www")]) == 0
    assert renamed == ["launcher_full.exe", "launcher_full.sha256"]


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
