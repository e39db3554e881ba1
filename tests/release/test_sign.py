"""The studio's release: tools/release rebuilds the shipped file bit for bit and signs it,
tools/sign signs with a certificate as osslsigncode verifies it, and refuses a wrong key.
The certificates are made here, by a throw-away authority; the timestamp comes from
osslsigncode's own authority, so nothing goes to the network."""
import os
import subprocess
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
PRODUCT = ROOT / "build" / "i686" / "DvOrvanneLauncher.exe"
KEY_BUILD = ROOT / "build" / "i686-signed" / "DvOrvanneLauncher.exe"
TEST_PUBLISHER_KEY = ROOT / "build" / "test-publisher" / "publisher.pub.pem"
SIGN = ROOT / "tools" / "sign"
PASSWORD = "correct horse"
SOFTHSM = "/usr/lib/softhsm/libsofthsm2.so"


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True)


def issue(folder, name, key_options, usage, ca="ca"):
    openssl("req", "-new", "-newkey", *key_options, "-nodes", "-keyout", f"{name}.key", "-subj", f"/CN=Test {name}",
            "-out", f"{name}.csr", cwd=folder)
    (folder / f"{name}.ext").write_text(f"basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                                        f"extendedKeyUsage=critical,{usage}\n")
    openssl("x509", "-req", "-in", f"{name}.csr", "-CA", f"{ca}.pem", "-CAkey", f"{ca}.key", "-CAcreateserial",
            "-days", "30", "-extfile", f"{name}.ext", "-out", f"{name}.pem", cwd=folder)


@pytest.fixture(scope="module")
def keys(tmp_path_factory):
    folder = tmp_path_factory.mktemp("keys")
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem", "-days", "30",
            "-subj", "/CN=Test CA", "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign", cwd=folder)
    issue(folder, "studio", ["rsa:3072"], "codeSigning")
    issue(folder, "ec", ["ec", "-pkeyopt", "ec_paramgen_curve:P-256"], "codeSigning")
    issue(folder, "tsa", ["rsa:2048"], "timeStamping")
    (folder / "tsa-chain.pem").write_text((folder / "tsa.pem").read_text() + (folder / "ca.pem").read_text())
    (folder / "password").write_text(PASSWORD + "\n")
    openssl("pkcs12", "-export", "-inkey", "studio.key", "-in", "studio.pem", "-passout", "file:password",
            "-out", "studio.pfx", cwd=folder)
    openssl("pkcs12", "-export", "-inkey", "ec.key", "-in", "ec.pem", "-passout", "pass:", "-out", "ec.pfx", cwd=folder)
    # Another key beside the studio's certificate: what a mixed-up export holds.
    openssl("pkcs12", "-export", "-nocerts", "-inkey", "ec.key", "-certfile", "studio.pem", "-passout", "pass:",
            "-out", "mixed.pfx", cwd=folder)
    return folder


def sign(keys, out, *options, password_env=None, osslsigncode_options=(), env=None):
    env = dict(env or os.environ)
    env.pop("UPDATER_SIGN_PASSWORD", None)
    if password_env is not None:
        env["UPDATER_SIGN_PASSWORD"] = password_env
    command = [SIGN, *options, PRODUCT, out, *(["--", *osslsigncode_options] if osslsigncode_options else [])]
    return subprocess.run(list(map(str, command)), cwd=keys, env=env,
                          capture_output=True, text=True)


def verify(keys, path):
    result = subprocess.run(["osslsigncode", "verify", "-CAfile", keys / "ca.pem", "-TSA-CAfile", keys / "ca.pem",
                             "-in", path], capture_output=True, text=True)
    return result.returncode, result.stdout + result.stderr


def remove_signature(signed, out):
    subprocess.run(["osslsigncode", "remove-signature", "-in", signed, "-out", out], check=True, capture_output=True)
    return out.read_bytes()


def test_signed_file_verifies_with_its_timestamp_and_a_changed_byte_fails(keys, tmp_path):
    signed = tmp_path / "signed.exe"
    result = sign(keys, signed, "--pkcs12", "studio.pfx", "--password-file", "password", osslsigncode_options=[
        "-TSA-certs", "tsa-chain.pem", "-TSA-key", "tsa.key", "-TSA-time", int(time.time())])
    assert result.returncode == 0, result.stderr
    status, output = verify(keys, signed)
    # verify can say "Succeeded" while the timestamp's own signature failed.
    assert status == 0 and "failed" not in output.lower(), output
    for line in ["Message digest algorithm  : SHA256", "Timestamp Server Signature verification: ok",
                 "Signature verification: ok", "Succeeded"]:
        assert line in output
    assert remove_signature(signed, tmp_path / "unsigned.exe") == PRODUCT.read_bytes()

    image = bytearray(signed.read_bytes())
    image[0x1000] ^= 1
    changed = tmp_path / "changed.exe"
    changed.write_bytes(image)
    status, output = verify(keys, changed)
    assert status != 0 and "Signature verification: failed" in output, output


@pytest.mark.parametrize("options, password_env, message", [
    (["--pkcs12", "studio.pfx"], PASSWORD, None),
    (["--pkcs12", "missing.pfx", "--password-file", "password"], None, "missing.pfx: no such file"),
    (["--pkcs12", "studio.pfx"], "wrong horse", "studio.pfx: cannot open it: wrong password"),
    (["--pkcs12", "mixed.pfx"], None, "mixed.pfx: its private key is not the key of any certificate in it"),
    (["--pkcs12", "ec.pfx"], None, "warning: the certificate's key is elliptic-curve"),
], ids=["password-from-environment", "missing-file", "wrong-password", "key-not-the-certificates", "ec-warning"])
def test_sign_takes_the_right_key_and_refuses_a_wrong_one_saying_why(keys, tmp_path, options, password_env, message):
    out = tmp_path / "signed.exe"
    result = sign(keys, out, *options, password_env=password_env)
    refused = message is not None and "warning" not in message
    assert (result.returncode != 0) == refused, result.stderr
    assert out.exists() != refused
    if message:
        assert message in result.stderr
    if not refused:
        assert verify(keys, out)[0] == 0


@pytest.fixture(scope="module")
def token(keys):
    """A software token holding the studio's key, as a hardware one would through its module."""
    folder = keys / "token"
    (folder / "objects").mkdir(parents=True)
    (folder / "softhsm2.conf").write_text(f"directories.tokendir = {folder / 'objects'}\nobjects.backend = file\n")
    env = dict(os.environ, SOFTHSM2_CONF=str(folder / "softhsm2.conf"))
    openssl("pkcs8", "-topk8", "-nocrypt", "-in", "studio.key", "-out", "token/key.p8", cwd=keys)
    for command in [["--init-token", "--free", "--label", "studio", "--so-pin", "5678"],
                    ["--import", "token/key.p8", "--token", "studio", "--label", "codesign", "--id", "01"]]:
        subprocess.run(["softhsm2-util", *command, "--pin", "1234"], cwd=keys, env=env, check=True, capture_output=True)
    (folder / "pin").write_text("1234\n")
    return env


@pytest.mark.parametrize("cert, message", [("studio.pem", None), ("ec.pem", "consistency of a private key")],
                         ids=["its-certificate", "another-certificate"])
def test_sign_with_a_key_on_a_token(keys, token, tmp_path, cert, message):
    out = tmp_path / "signed.exe"
    result = sign(keys, out, "--pkcs11-module", SOFTHSM, "--key", "pkcs11:token=studio;object=codesign;type=private",
                  "--cert", cert, "--password-file", "token/pin", env=token)
    if message:
        assert result.returncode != 0 and message in result.stderr and not out.exists()
    else:
        assert result.returncode == 0, result.stderr
        assert verify(keys, out)[0] == 0


@pytest.mark.parametrize("key, built", [(None, PRODUCT), (TEST_PUBLISHER_KEY, KEY_BUILD)], ids=["shipped", "with-key"])
def test_release_is_the_rebuilt_file_days_later_and_signed_around_it(keys, tmp_path, key, built):
    # tools/test built `built` in the repository, today; tools/release builds it twice more,
    # three days on, in two other folders, and the second of those under another time
    # zone, umask, locale and -j.
    if not built.exists():
        pytest.fail(f"{built} is missing: tools/test builds it")
    out = tmp_path / "release"
    command = ["faketime", "-f", "+3d", str(ROOT / "tools" / "release"), "--out", str(out),
               "--pkcs12", "studio.pfx", "--password-file", "password"]
    if key:
        command += ["--publisher-key", str(key)]
    result = subprocess.run(command, cwd=keys, capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr

    assert (out / "DvOrvanneLauncher.unsigned.exe").read_bytes() == built.read_bytes()
    assert remove_signature(out / "DvOrvanneLauncher.exe", tmp_path / "removed.exe") == built.read_bytes()
    sums = subprocess.run(["sha256sum", "--check", "--strict", "SHA256SUMS"], cwd=out, capture_output=True, text=True)
    assert sums.returncode == 0 and sums.stdout.count(": OK") == 2, sums.stdout + sums.stderr
