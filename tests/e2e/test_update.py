"""The whole update under Wine, as a player meets it: the shipped 32-bit program, the very
file of build/i686 (the 64-bit build of the same sources where the machine cannot run
32-bit programs), in a player folder, a download server on 127.0.0.1:443 under the
server's host name (or none at all), and a probe that starts the program and watches its
window from outside.

Runs inside tools/in-sandbox --wow64 (tools/test does that), whose Wine runs 32-bit programs.
Each test has its own network namespace and Wine prefix, so the tests can run side by side.
"""
import hashlib
import io
import json
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import zipfile
from pathlib import Path

import pytest

if os.environ.get("UPDATER_SANDBOX") != "1":
    pytest.skip("needs the environment of tools/in-sandbox --wow64", allow_module_level=True)
if os.environ.get("UPDATER_WOW64") != "1":
    pytest.fail("the shipped program is 32-bit: run these under tools/in-sandbox --wow64", pytrace=False)

ROOT = Path(__file__).resolve().parents[2]
# The 64-bit build holds the probe and the test launcher, which run under WoW64 Wine as well.
BUILD = Path(os.environ["UPDATER_BUILD_DIR"])
HARNESS = ROOT / "tests" / "harness"
WINE = os.environ["UPDATER_WINE"]
WINESERVER = os.environ["UPDATER_WINESERVER"]
HOST = os.environ["UPDATER_SERVER_HOST"]
# The shipped file, where this machine's Wine can run 32-bit programs at all. On a kernel
# without IA-32 emulation it cannot (every 32-bit program dies at its start), and the tests
# then run the 64-bit build of the same sources instead, and say so; the record below tells
# the release checks which file ran.
RUNS_32_BIT = subprocess.run([str(HARNESS / "runs-32-bit")], stdin=subprocess.DEVNULL).returncode == 0
WIDTH = "32-bit" if RUNS_32_BIT else "64-bit"
PROGRAM_BUILD, SIGNED_BUILD = ("i686", "i686-signed") if RUNS_32_BIT else ("x64", "x64-signed")
if not RUNS_32_BIT:
    print("\nTHE SHIPPED 32-BIT FILE CANNOT RUN ON THIS MACHINE: these tests run build/x64's program, "
          "the 64-bit build of the same sources", file=sys.stderr)
UPDATER = ROOT / "build" / PROGRAM_BUILD / "DvOrvanneLauncher.exe"
# Where the program ran: this machine's own WoW64 Wine, the emulated PC of tools/in-pc (whose
# root is the same chroot), or, with neither, the 64-bit build on this machine.
IN_PC = os.environ.get("UPDATER_IN_PC") == "1"
WHERE = "emulated PC" if IN_PC else "host WoW64" if RUNS_32_BIT else "64-bit fallback"
# Beside the file that ran: the release checks compare build/i686's with the shipped file, so
# a run against any other file shows.
RAN_RECORD = ROOT / "build" / PROGRAM_BUILD / "e2e-ran.json"
# A build with the studio's key (tools/test makes the test key pair and builds it).
SIGNED_UPDATER = ROOT / "build" / SIGNED_BUILD / "DvOrvanneLauncher.exe"
PUBLISHER_KEY = ROOT / "build" / "test-publisher" / "publisher.key.pem"
PROBE = BUILD / "tests" / "e2e" / "window_probe.exe"
TEST_LAUNCHER = BUILD / "tests" / "replace" / "replace_test_launcher.exe"
# A healthy run takes seconds (a minute or two in the emulated PC); one that takes this long
# is stopped.
TIMEOUT_S = 720 if IN_PC else 240
# What a failed or stopped run saw is kept here: the sandbox and the test's folder go with the run.
KEPT = ROOT / "build" / "e2e-kept"


# A real proxy beside the server, on loopback in the test's own network namespace.
TINYPROXY = "/usr/bin/tinyproxy"
PROXY = "127.0.0.1:8888"
PAC_PORT = 8080
# Takes connections and never answers: a script server that hangs.
SILENT_PORT = 8081
# Takes no connection at all: its queue is full, so the kernel drops every attempt, as a
# firewall does for a proxy that is not there.
DEAD_PROXY = "127.0.0.1:8082"
INTERNET_OPTIONS_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections"
WINHTTP_SETTINGS_KEY = INTERNET_OPTIONS_KEY.replace("HKCU", "HKLM")


def internet_options(flags, proxy="", bypass="", pac_url=""):
    """The DefaultConnectionSettings value as Internet Options writes it: 0x46, a counter,
    the flags (1 direct, 2 fixed proxy, 4 PAC script, 8 detection), then the proxy, the
    bypass list and the script's URL, each as a length and the text."""
    value = struct.pack("<III", 0x46, 1, flags)
    for text in (proxy, bypass, pac_url):
        value += struct.pack("<I", len(text)) + text.encode("ascii")
    return value.hex()


def winhttp_setting(proxy):
    """The WinHttpSettings value as `netsh winhttp set proxy` writes it: 0x18, 0, the flags
    (2 proxy), then the proxy and the bypass list, each as a length and the text."""
    return (struct.pack("<IIII", 0x18, 0, 2, len(proxy)) + proxy.encode("ascii") + struct.pack("<I", 0)).hex()


def shipped_host():
    cache = (UPDATER.parent / "CMakeCache.txt").read_text()
    return re.search(r"^UPDATER_SERVER_HOST:STRING=(.*)$", cache, re.M).group(1)


def winpath(path):
    return "Z:" + str(path).replace("/", "\\")


class Run:
    """One player folder, what the server publishes, and what happened when the updater ran."""

    def __init__(self):
        for needed in (UPDATER, PROBE, TEST_LAUNCHER):
            if not needed.exists():
                pytest.fail(f"{needed} is missing: build the i686 and x64 presets first")
        if shipped_host() != HOST:
            pytest.fail(f"{UPDATER} asks {shipped_host()}, but the sandbox serves {HOST}")
        self.work = Path(tempfile.mkdtemp(prefix="e2e.", dir=os.environ["UPDATER_TEST_DIR"]))
        self.player = self.work / "Juegos" / "Dravok Orvanne ñ"
        self.player.mkdir(parents=True)
        self.exe = self.player / "DvOrvanneLauncher.exe"
        shutil.copyfile(UPDATER, self.exe)
        self.previous = self.exe.read_bytes()
        RAN_RECORD.write_text(json.dumps({"file": str(UPDATER), "sha256": hashlib.sha256(self.previous).hexdigest(),
                                          "runs_32_bit": RUNS_32_BIT, "where": WHERE}))
        self.record = self.work / "launch record.txt"
        # The test launcher stands in for the full launcher; the tail tells the builds apart.
        self.www = self.work / "www"
        (self.www / "descargas").mkdir(parents=True)
        self.publish(TEST_LAUNCHER.read_bytes() + b"-- full launcher, build 2 --")
        self.probe = []
        self.requests = []
        self.kept = None

    def publish(self, package):
        """What the server serves: the package and its digest file, as tools/publish writes it."""
        self.package = package
        (self.www / "descargas" / "launcher_full.exe").write_bytes(package)
        digest = hashlib.sha256(package).hexdigest()
        (self.www / "descargas" / "launcher_full.sha256").write_text(f"{digest}  launcher_full.exe\n")

    def files(self):
        return {path.name: path.read_bytes() for path in self.player.iterdir()}

    def update(self, mode, server, expect_launch=True, script=None, proxy=None, env=None):
        """Runs the probe in mode against the player's executable. server: "nginx" for the
        static download folder, "scripted" for the test server answering as script (a dict
        in the format of tests/harness/server.py) says and from the folder otherwise, None
        for no server at all. proxy: with a server, the player's network as with_proxy
        takes it."""
        out = self.work / "probe.out"
        # The probe's trace, Wine's errors and the shell's steps, on the clock of Wine's tick count.
        trace = self.work / "probe.err"
        probe = f"""
            "{WINE}" "{PROBE}" {mode} "{winpath(self.exe)}" >"{out}" 2>>"{trace}"
            echo "$({CLOCK}): shell: probe ended with $?" >>"{trace}"
            for _ in $(seq {600 if expect_launch else 10}); do [ -e "{self.record}" ] && break; sleep 0.1; done
        """
        if proxy:
            probe = self.with_proxy(probe, **proxy)
        env = dict(os.environ, LC_ALL="C.UTF-8", UPDATER_TEST_LAUNCH_RECORD=winpath(self.record),
                   WINEDEBUG="+timestamp,+pid,err+all", **(env or {}))
        server_dir = self.work / "server"
        prefix = (server_dir if server else self.work) / "prefix"
        if server:
            options = ["--nginx"]
            if server == "scripted":
                (self.work / "script.json").write_text(json.dumps(script))
                options = ["--script", str(self.work / "script.json")]
            command = [str(HARNESS / "with-server"), *options, "--root", str(self.www), "--dir", str(server_dir),
                       "--", "bash", "-c", probe]
        else:
            # No server: a network namespace of its own where nothing listens, and so a
            # wineserver and prefix of its own too.
            command = ["unshare", "--net", "--", "bash", "-c",
                       f'ip link set lo up && "{HARNESS}/copy-prefix" "{prefix}" && '
                       f'export WINEPREFIX="{prefix}" && {{ {probe} }}; '
                       f'"{WINESERVER}" -k; rm -rf "{prefix}"']
        trace.write_text(f"{clock():.2f}: test: starts {command[0]}\n")
        # Wine must not take the terminal (or whatever pytest was given) as its console.
        child = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL, cwd=self.work)
        try:
            status = child.wait(timeout=TIMEOUT_S)
        except subprocess.TimeoutExpired:
            # Failed below, outside the handler, so that the message is not buried under the timeout's.
            status = None
        if status is None:
            pytest.fail(self.keep_hung_run(child, env, prefix), pytrace=False)
        assert status == 0, f"{command[0]} ended with {status}"
        self.probe = out.read_text(encoding="utf-8").splitlines()
        if server:
            self.requests = (server_dir / "requests.log").read_text().splitlines()

    def with_proxy(self, probe, settings, pac=None, direct=True, windows=None, winhttp=None):
        """The probe wrapped in a player's network: tinyproxy on PROXY, which reaches the
        server; a PAC script (pac, served over plain HTTP on PAC_PORT as /proxy.pac; any
        other path answers 404); Internet Options holding settings (internet_options()); Wine
        reporting windows when given; WinHTTP's own setting naming the proxy winhttp when
        given. Without direct, the server's name leads the updater to an address where
        nothing listens, so only the proxy reaches the server."""
        (self.work / "tinyproxy.conf").write_text(
            f'Port {PROXY.split(":")[1]}\nListen 127.0.0.1\nTimeout 60\nMaxClients 20\nConnectPort 443\n'
            f'LogLevel Info\nLogFile "{self.work}/proxy.log"\n')
        (self.work / "pac").mkdir()
        if pac:
            (self.work / "pac" / "proxy.pac").write_text(pac)
        (self.work / "hosts").write_text(f"127.0.0.1\tlocalhost\n127.0.0.2\t{HOST}\n")
        (self.work / "probe.sh").write_text(probe)
        (self.work / "silent.py").write_text(
            f'import socket\ns = socket.create_server(("127.0.0.1", {SILENT_PORT}))\nheld = []\n'
            'while True:\n    held.append(s.accept())\n')
        (self.work / "dead.py").write_text(
            f'import pathlib, socket, time\nhost, port = "{DEAD_PROXY}".split(":")\ns = socket.socket()\n'
            's.bind((host, int(port)))\ns.listen(0)\nfull = socket.create_connection((host, int(port)))\n'
            'pathlib.Path("dead.ready").touch()\ntime.sleep(3600)\n')
        version = f'"{WINE}" reg add "HKCU\\Software\\Wine" /v Version /d {windows} /f >/dev/null' if windows else ""
        # In both views of the machine's registry: a 32-bit program may read the other one.
        winhttp = "".join(f'"{WINE}" reg add "{WINHTTP_SETTINGS_KEY}" /v WinHttpSettings /t REG_BINARY '
                          f'/d {winhttp_setting(winhttp)} /reg:{bits} /f >/dev/null\n'
                          for bits in (32, 64)) if winhttp else ""
        run = "bash probe.sh" if direct else \
            f"unshare --mount -- sh -c 'mount --bind \"{self.work}/hosts\" /etc/hosts && exec bash probe.sh'"
        return f"""
            set -e
            "{TINYPROXY}" -d -c tinyproxy.conf 2>/dev/null &
            /usr/bin/python3 -m http.server --bind 127.0.0.1 --directory pac {PAC_PORT} 2>pac.log >/dev/null &
            /usr/bin/python3 silent.py &
            /usr/bin/python3 dead.py &
            for port in {PROXY.split(":")[1]} {PAC_PORT} {SILENT_PORT}; do
                for _ in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null && break; sleep 0.05; done
            done
            for _ in $(seq 100); do [ -e dead.ready ] && break; sleep 0.05; done
            "{WINE}" reg add "{INTERNET_OPTIONS_KEY}" /v DefaultConnectionSettings /t REG_BINARY /d {settings} /f >/dev/null
            {version}
            {winhttp}
            {run}
        """

    def proxy_log(self):
        return (self.work / "proxy.log").read_text()

    def pac_requests(self):
        return [line for line in (self.work / "pac.log").read_text().splitlines() if '"GET ' in line]

    def keep(self):
        """Copies what the run saw (the probe's output and trace, the server's logs, a few
        kilobytes) out of the test's folder; returns the copy's folder."""
        test = re.sub(r"[^\w.-]+", "_", os.environ.get("PYTEST_CURRENT_TEST", "test").split(" ")[0].split("::")[-1])
        self.kept = KEPT / f"{test}.{time.strftime('%Y%m%d-%H%M%S')}.{os.getpid()}"
        self.kept.mkdir(parents=True)
        for name in ("probe.out", "probe.err", "server/requests.log", "server/nginx-error.log",
                     "server/server.err"):
            if (self.work / name).exists():
                shutil.copyfile(self.work / name, self.kept / name.replace("/", "-"))
        return self.kept

    def keep_hung_run(self, child, env, prefix):
        """Keeps what the run was doing when it was stopped, while it still does it: besides
        what keep() takes, the processes left in its network namespace (with what each thread
        waits in) and the windows its Wine server still has. Then ends them all. Returns the
        failure message, which names the kept folder."""
        kept = self.keep()
        namespace = os.readlink(f"/proc/{child.pid}/ns/net")
        pids = [pid for pid in os.listdir("/proc") if pid.isdigit() and readlink(f"/proc/{pid}/ns/net") == namespace]
        processes = subprocess.run(["ps", "-o", "pid,ppid,stat,etimes,time,args", "-p", ",".join(pids)],
                                   capture_output=True, text=True).stdout
        threads = []
        for pid in pids:
            for task in sorted(Path(f"/proc/{pid}/task").glob("*")):
                fields = [read(task / "comm").strip(), read(task / "wchan"), read(task / "syscall").split(" ")[0]]
                threads.append(f"{pid}/{task.name} {' '.join(fields)}")
        (kept / "processes.txt").write_text(processes + "\npid/thread name wchan syscall\n" + "\n".join(threads) + "\n")
        try:
            windows = subprocess.run(["nsenter", f"--net=/proc/{child.pid}/ns/net", WINE, PROBE, "windows"],
                                     env=dict(env, WINEPREFIX=str(prefix)), stdin=subprocess.DEVNULL,
                                     capture_output=True, text=True, timeout=30).stdout
        except subprocess.TimeoutExpired:
            windows = "no answer in 30 s\n"
        (kept / "windows.txt").write_text(windows)

        for pid in pids:
            try:
                os.kill(int(pid), signal.SIGKILL)
            except ProcessLookupError:
                pass
        child.wait()
        tail = read(self.work / "probe.err").splitlines()[-20:]
        return (f"stopped after {TIMEOUT_S} s; kept in {kept}\n-- probe trace (last lines):\n" + "\n".join(tail) +
                "\n-- processes left:\n" + processes + "-- windows left:\n" + windows)

    def launch_record(self):
        return self.record.read_text(encoding="utf-8") if self.record.exists() else None


def clock():
    """Seconds on the clock of Wine's tick count, which its +timestamp and the probe's trace show."""
    return time.clock_gettime(time.CLOCK_MONOTONIC_RAW)


CLOCK = "/usr/bin/python3 -c 'import time; print(f\"{time.clock_gettime(time.CLOCK_MONOTONIC_RAW):.2f}\")'"


def read(path):
    try:
        return Path(path).read_text(errors="replace")
    except OSError:
        return ""


def readlink(path):
    try:
        return os.readlink(path)
    except OSError:
        return None


@pytest.fixture
def run(request):
    run = Run()
    yield run
    report = getattr(request.node, "report_call", None)
    if report is not None and report.failed and not run.kept:
        print(f"what the run saw is kept in {run.keep()}", file=sys.stderr)
    shutil.rmtree(run.work, ignore_errors=True)


# code_signed: the program as a studio ships it, signed by tools/test through tools/sign.
@pytest.mark.parametrize("code_signed", [False, True], ids=["shipped", "code-signed"])
def test_update_puts_the_new_launcher_in_place_and_starts_it(run, code_signed):
    if code_signed:
        signed = UPDATER.with_name("DvOrvanneLauncher.codesigned.exe")
        if not signed.exists():
            pytest.fail(f"{signed} is missing: tools/test makes it")
        shutil.copyfile(signed, run.exe)
        run.previous = run.exe.read_bytes()
        header = struct.unpack_from("<I", run.previous, 0x3C)[0]
        directories = header + 24 + (96 if WIDTH == "32-bit" else 112)
        assert struct.unpack_from("<II", run.previous, directories + 4 * 8)[1] > 0, "no signature in the file"
    run.update("run", server="nginx")

    # The common controls of version 6, from the side-by-side store of Wine's prefix
    # (C:\windows\winsxs), as the program's manifest asks: the marquee, a themed bar.
    assert run.probe[:3] == [f"program: {WIDTH}", "window: shown", "comctl32: winsxs"]
    assert run.probe[-3:] == ["window: closed", "exit code: 0", "download left: no"]
    assert run.files() == {"DvOrvanneLauncher.exe": run.package, "DvOrvanneLauncher.exe.old": run.previous}
    assert run.launch_record() == f"path={winpath(run.exe)}\ncwd={winpath(run.player)}\nargs=\n"
    paths = [line for line in run.requests if '"path"' in line]
    assert len(paths) == 2 and "/descargas/launcher_full.sha256" in paths[0] and "launcher_full.exe" in paths[1]


def test_no_server_shows_the_connection_failure_and_changes_nothing(run):
    before = run.files()
    run.update("failure", server=None, expect_launch=False)

    assert f"state: marquee=1 percent= status=Conectando con {HOST}..." in run.probe
    box = run.probe.index("box caption: Dravok Orvanne - actualización")
    assert run.probe[box:] == [
        "box caption: Dravok Orvanne - actualización",
        f"box text: No se pudo conectar con {HOST}.\\nRevisa tu conexión o antivirus y vuelve a abrir "
        "el launcher para reintentar.",
        "box in front: yes",
        "window while the box is open: present",
        "window: closed",
        "exit code: 0",
        "download left: no",
    ]
    assert run.files() == before
    assert run.launch_record() is None


def test_close_request_while_installing_is_declined_and_the_update_ends(run):
    run.update("close-guard", server="nginx")

    installing = "state: marquee=0 percent=100% status=Instalando..."
    assert run.probe[:3] == ["holding: yes", f"program: {WIDTH}", "window: shown"]
    assert installing in run.probe
    after = run.probe[run.probe.index(installing) + 1:]
    assert after[:4] == [
        "question: none",
        "window after the close request: present",
        "executable while held: present",
        "holding: released",
    ]
    assert after[-3:] == ["window: closed", "exit code: 0", "download left: no"]
    assert run.files() == {"DvOrvanneLauncher.exe": run.package, "DvOrvanneLauncher.exe.old": run.previous}
    assert run.launch_record() == f"path={winpath(run.exe)}\ncwd={winpath(run.player)}\nargs=\n"


# Here 64 MiB take about 50 ms to reach the game's volume: these points fall in that copy,
# after it, and once the new launcher is in place.
@pytest.mark.parametrize("delay_ms", [0, 20, 50, 100, 200])
def test_ended_during_the_install_leaves_a_whole_launcher(run, delay_ms):
    # A download on another volume than the game is copied across, which takes long
    # enough to be cut off in the middle.
    run.publish(TEST_LAUNCHER.read_bytes() + bytes(64 << 20) + b"-- full launcher, build 2 --")
    temp = Path(tempfile.mkdtemp(prefix="e2e-temp.", dir="/dev/shm"))
    try:
        run.update(f'crash-install {delay_ms} "{winpath(temp)}"', server="nginx", expect_launch=False)
    finally:
        shutil.rmtree(temp, ignore_errors=True)

    assert "state: marquee=0 percent=100% status=Instalando..." in run.probe
    assert "terminated: yes" in run.probe
    files = run.files()
    if "DvOrvanneLauncher.exe" not in files:
        # The one instant the install cannot close: between renaming the executable
        # away and renaming the whole new one into its place.
        assert files == {"DvOrvanneLauncher.exe.old": run.previous, "DvOrvanneLauncher.exe.new": run.package}
    else:
        assert files["DvOrvanneLauncher.exe"] in (run.previous, run.package)


def test_a_second_start_brings_the_running_update_forward_and_touches_nothing(run):
    # The first update waits for its digest file while the second starts (which takes
    # seconds in the emulated PC).
    digest = {"file": "descargas/launcher_full.sha256", "stall_before": 12 if IN_PC else 3}
    run.update("twice", server="scripted", script={"/descargas/launcher_full.sha256": [digest]})

    assert run.probe[:5] == [
        f"program: {WIDTH}", "window: shown", "second window: none", "second exit code: 0", "in front: first window"
    ]
    assert run.probe[-3:] == ["window: closed", "exit code: 0", "download left: no"]
    assert run.files() == {"DvOrvanneLauncher.exe": run.package, "DvOrvanneLauncher.exe.old": run.previous}
    assert run.launch_record() == f"path={winpath(run.exe)}\ncwd={winpath(run.player)}\nargs=\n"
    assert len([line for line in run.requests if '"path"' in line]) == 2


def image_for_another_processor():
    """The test launcher as if built for ARM64: the machine field of its header changed."""
    image = bytearray(TEST_LAUNCHER.read_bytes())
    struct.pack_into("<H", image, struct.unpack_from("<I", image, 0x3C)[0] + 4, 0xAA64)
    return bytes(image)


def zip_archive():
    folder = io.BytesIO()
    with zipfile.ZipFile(folder, "w") as archive:
        archive.writestr("DvOrvanneLauncher.exe", TEST_LAUNCHER.read_bytes())
    return folder.getvalue()


DOWNLOAD_FAILURE = ("box text: No se pudo descargar el launcher nuevo.\\nRevisa tu conexión o antivirus y vuelve a "
                    f"abrir el launcher para reintentar.\\nSi sigue fallando, descárgalo en {HOST}")


# What a studio may publish by mistake under the launcher's name, with its correct digest:
# none of it is a program this Windows can start, so none of it takes the updater's place.
@pytest.mark.parametrize("package", [
    zip_archive,
    image_for_another_processor,
    lambda: (UPDATER.parent / "planted.dll").read_bytes(),
], ids=["archive", "arm64-program", "dll"])
def test_a_download_this_windows_cannot_start_is_never_put_in_place(run, package):
    run.publish(package())
    before = run.files()
    run.update("failure", server="nginx", expect_launch=False)

    box = run.probe.index("box caption: Dravok Orvanne - actualización")
    assert run.probe[box + 1:box + 3] == [DOWNLOAD_FAILURE, "box in front: yes"]
    assert run.probe[-3:] == ["window: closed", "exit code: 0", "download left: no"]
    assert request_paths(run) == ["/descargas/launcher_full.sha256"] + ["/descargas/launcher_full.exe"] * 3
    assert run.files() == before
    assert run.launch_record() is None


def test_a_launcher_that_cannot_be_started_ends_in_the_failure_box_in_front(run):
    # Whole headers and nothing after them: the updater takes it for a program, but
    # Windows cannot map it, as when a scanner has emptied the file or a policy refuses it.
    run.publish(TEST_LAUNCHER.read_bytes()[:1024])
    run.update("failure", server="nginx", expect_launch=False)

    box = run.probe.index("box caption: Dravok Orvanne - actualización")
    assert run.probe[box + 1:] == [DOWNLOAD_FAILURE, "box in front: yes", "window while the box is open: present",
                                   "window: closed", "exit code: 0", "download left: no"]
    # The swap stands: the next start from the shortcut may well succeed.
    assert run.files() == {"DvOrvanneLauncher.exe": run.package, "DvOrvanneLauncher.exe.old": run.previous}
    assert run.launch_record() is None


def request_paths(run):
    return [json.loads(line)["path"] for line in run.requests]


def sign_digest_file(run, key):
    folder = run.www / "descargas"
    subprocess.run(["openssl", "dgst", "-sha256", "-sign", key, "-out", folder / "launcher_full.sha256.sig",
                    folder / "launcher_full.sha256"], check=True)


def other_key(run):
    key = run.work / "other.key.pem"
    subprocess.run(["openssl", "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", key],
                   check=True, capture_output=True)
    return key


def hijack_after_signing(run):
    """A package and digest file of someone else's, beside the studio's signature of the old digest file."""
    sign_digest_file(run, PUBLISHER_KEY)
    run.publish(run.package + b"-- not the studio's --")


@pytest.mark.parametrize("publish", [
    lambda run: None,
    lambda run: sign_digest_file(run, other_key(run)),
    hijack_after_signing,
], ids=["signature-missing", "signed-by-another-key", "digest-file-replaced-after-signing"])
def test_signed_build_takes_no_unsigned_update(run, publish):
    if not SIGNED_UPDATER.exists():
        pytest.fail(f"{SIGNED_UPDATER} is missing: tools/test builds it")
    shutil.copyfile(SIGNED_UPDATER, run.exe)
    before = run.files()
    publish(run)
    run.update("failure", server="nginx", expect_launch=False)

    box = run.probe.index("box caption: Dravok Orvanne - actualización")
    assert run.probe[box + 1].startswith(f"box text: No se pudo conectar con {HOST}.")
    assert run.probe[-3:] == ["window: closed", "exit code: 0", "download left: no"]
    paths = request_paths(run)
    assert paths == ["/descargas/launcher_full.sha256", "/descargas/launcher_full.sha256.sig"] * 3
    assert run.files() == before
    assert run.launch_record() is None


def test_signed_build_updates_with_the_studios_signature(run):
    if not SIGNED_UPDATER.exists():
        pytest.fail(f"{SIGNED_UPDATER} is missing: tools/test builds it")
    shutil.copyfile(SIGNED_UPDATER, run.exe)
    run.previous = run.exe.read_bytes()
    sign_digest_file(run, PUBLISHER_KEY)
    run.update("run", server="nginx")

    assert run.files() == {"DvOrvanneLauncher.exe": run.package, "DvOrvanneLauncher.exe.old": run.previous}
    assert run.launch_record() == f"path={winpath(run.exe)}\ncwd={winpath(run.player)}\nargs=\n"
    paths = request_paths(run)
    assert paths == ["/descargas/launcher_full.sha256", "/descargas/launcher_full.sha256.sig",
                     "/descargas/launcher_full.exe"]


# Names a page could drop a DLL under beside the updater in the Downloads folder: every one
# that the updater loads from System32 at entry, its own DLLs among them.
PLANTED_NAMES = re.findall(r'"\+?(\w+)\\0"', (ROOT / "shared" / "system_dlls.cpp").read_text())


PAC = f'function FindProxyForURL(url, host) {{ return "PROXY {PROXY}"; }}\n'
PAC_SCRIPT = dict(settings=internet_options(5, pac_url=f"http://127.0.0.1:{PAC_PORT}/proxy.pac"), pac=PAC, direct=False)
# What a page could drop beside the planted DLLs: a manifest naming them as the program's
# own files, which sends loads of those names to the program's folder before any other
# rule of the search, wherever the program has no manifest of its own.
PLANTED_MANIFEST = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
                    '<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">\n'
                    '<assemblyIdentity type="win32" name="DvOrvanneLauncher" version="1.0.0.0"/>\n' +
                    "".join(f'<file name="{name}.dll"/>\n' for name in PLANTED_NAMES) + "</assembly>\n")


# proxy: the player's network, as Run.with_proxy takes it. With Wine reporting Vista the DLL
# search cannot be restricted, so only what the updater loads at entry keeps the folder out.
# manifest: DvOrvanneLauncher.exe.manifest beside it, naming the planted DLLs.
@pytest.mark.parametrize("updater, proxy, manifest, works", [
    (UPDATER, None, False, True),
    (SIGNED_UPDATER, None, False, True),
    (UPDATER, dict(settings=internet_options(1), windows="vista"), False, True),
    (SIGNED_UPDATER, dict(settings=internet_options(1), windows="vista"), False, True),
    # Detection runs, nothing reaches the server, and the failure box shows.
    (UPDATER, dict(settings=internet_options(9), direct=False, windows="vista"), False, False),
    (UPDATER, PAC_SCRIPT, True, True),
    (UPDATER, dict(PAC_SCRIPT, windows="vista"), True, True),
], ids=["without-key", "with-key", "vista-without-key", "vista-with-key", "vista-detection-and-failure",
        "pac-script-and-manifest", "vista-pac-script-and-manifest"])
def test_dlls_planted_beside_the_updater_are_never_loaded(run, updater, proxy, manifest, works):
    shutil.copyfile(updater, run.exe)
    run.previous = run.exe.read_bytes()
    if updater == SIGNED_UPDATER:
        sign_digest_file(run, PUBLISHER_KEY)
    planted = {f"{name}.dll": (UPDATER.parent / "planted.dll").read_bytes() for name in PLANTED_NAMES}
    if manifest:
        planted["DvOrvanneLauncher.exe.manifest"] = PLANTED_MANIFEST.encode()
    for name, image in planted.items():
        (run.player / name).write_bytes(image)
    log = run.work / "planted.log"
    # Windows looks in a program's own folder first for these names; Wine does so when
    # told to prefer native DLLs for them.
    overrides = ",".join(PLANTED_NAMES) + "=n,b;" + os.environ["WINEDLLOVERRIDES"]
    run.update("run" if works else "failure", server="nginx", expect_launch=works, proxy=proxy,
               env={"WINEDLLOVERRIDES": overrides, "UPDATER_PLANTED_LOG": winpath(log)})

    assert not log.exists(), log.read_text(encoding="utf-8")
    if works:
        assert run.files() == {"DvOrvanneLauncher.exe": run.package, "DvOrvanneLauncher.exe.old": run.previous,
                               **planted}
        assert run.launch_record() == f"path={winpath(run.exe)}\ncwd={winpath(run.player)}\nargs=\n"
    else:
        box = run.probe.index("box caption: Dravok Orvanne - actualización")
        assert run.probe[box + 1].startswith(f"box text: No se pudo conectar con {HOST}.")
        assert run.files() == {"DvOrvanneLauncher.exe": run.previous, **planted}
        assert run.launch_record() is None


# The player's proxy settings in Internet Options, each row a whole update of the shipped
# program. "direct": whether the server can be reached without the proxy.
@pytest.mark.parametrize("proxy, through_proxy, script_fetched", [
    (dict(settings=internet_options(3, PROXY, "<local>"), direct=False), True, False),
    (dict(settings=internet_options(3, PROXY, "<local>"), direct=False, windows="win7"), True, False),
    (PAC_SCRIPT, True, True),
    # A script that never comes is given up after a bounded wait (Wine's own download would
    # wait about 20 s), and the fixed proxy beside it serves.
    (dict(settings=internet_options(7, PROXY, "<local>", f"http://127.0.0.1:{SILENT_PORT}/proxy.pac"), direct=False),
     True, False),
    # Wine takes the system's own resolver for a direct connection, which answers first: the
    # broken script is never fetched.
    (dict(settings=internet_options(5, pac_url=f"http://127.0.0.1:{PAC_PORT}/missing.pac")), False, False),
    (dict(settings=internet_options(9)), False, False),
    # A fixed proxy that never takes the connection gives way, after the connect timeout,
    # to WinHTTP's own setting.
    (dict(settings=internet_options(3, DEAD_PROXY, "<local>"), winhttp=PROXY, direct=False), True, False),
], ids=["fixed-proxy", "fixed-proxy-windows-7", "pac-script", "pac-script-hangs", "pac-script-missing",
        "detection-finds-nothing", "dead-proxy-then-winhttp-setting"])
def test_update_takes_the_players_proxy(run, proxy, through_proxy, script_fetched):
    run.update("run", server="nginx", proxy=proxy)

    assert run.probe[-3:] == ["window: closed", "exit code: 0", "download left: no"]
    assert run.files() == {"DvOrvanneLauncher.exe": run.package, "DvOrvanneLauncher.exe.old": run.previous}
    assert run.launch_record() == f"path={winpath(run.exe)}\ncwd={winpath(run.player)}\nargs=\n"
    assert (f"CONNECT {HOST}:443" in run.proxy_log()) == through_proxy, run.proxy_log()
    assert bool(run.pac_requests()) == script_fetched
