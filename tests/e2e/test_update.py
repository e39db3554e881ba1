"""The whole update under Wine, as a player meets it: the shipped 32-bit program, the very
file of build/i686, in a player folder, a download server on 127.0.0.1:443 under the
server's host name (or none at all), and a probe that starts the program and watches its
window from outside.

Runs inside tools/in-sandbox --wow64 (tools/test does that), whose Wine runs 32-bit programs.
Each test has its own network namespace and Wine prefix, so the tests can run side by side.
"""
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
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
UPDATER = ROOT / "build" / "i686" / "DvOrvanneLauncher.exe"
# What the release checks compare with build/i686, so a run against any other file shows.
RAN_RECORD = ROOT / "build" / "i686" / "e2e-ran.json"
# A build with the studio's key (tools/test makes the test key pair and builds it).
SIGNED_UPDATER = ROOT / "build" / "i686-signed" / "DvOrvanneLauncher.exe"
PUBLISHER_KEY = ROOT / "build" / "test-publisher" / "publisher.key.pem"
PROBE = BUILD / "tests" / "e2e" / "window_probe.exe"
TEST_LAUNCHER = BUILD / "tests" / "replace" / "replace_test_launcher.exe"
# A healthy run takes seconds; one that takes this long is stopped.
TIMEOUT_S = 240
# What a failed or stopped run saw is kept here: the sandbox and the test's folder go with the run.
KEPT = ROOT / "build" / "e2e-kept"


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
        RAN_RECORD.write_text(json.dumps({"file": str(UPDATER), "sha256": hashlib.sha256(self.previous).hexdigest()}))
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

    def update(self, mode, server, expect_launch=True, script=None):
        """Runs the probe in mode against the player's executable. server: "nginx" for the
        static download folder, "scripted" for the test server answering as script (a dict
        in the format of tests/harness/server.py) says and from the folder otherwise, None
        for no server at all."""
        out = self.work / "probe.out"
        # The probe's trace, Wine's errors and the shell's steps, on the clock of Wine's tick count.
        trace = self.work / "probe.err"
        probe = f"""
            "{WINE}" "{PROBE}" {mode} "{winpath(self.exe)}" >"{out}" 2>>"{trace}"
            echo "$({CLOCK}): shell: probe ended with $?" >>"{trace}"
            for _ in $(seq {200 if expect_launch else 10}); do [ -e "{self.record}" ] && break; sleep 0.1; done
        """
        env = dict(os.environ, LC_ALL="C.UTF-8", UPDATER_TEST_LAUNCH_RECORD=winpath(self.record),
                   WINEDEBUG="+timestamp,+pid,err+all")
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


def test_update_puts_the_new_launcher_in_place_and_starts_it(run):
    run.update("run", server="nginx")

    assert run.probe[:2] == ["program: 32-bit", "window: shown"]
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
    assert run.probe[:3] == ["holding: yes", "program: 32-bit", "window: shown"]
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
    # The first update waits for its digest file while the second starts.
    digest = {"file": "descargas/launcher_full.sha256", "stall_before": 3}
    run.update("twice", server="scripted", script={"/descargas/launcher_full.sha256": [digest]})

    assert run.probe[:5] == [
        "program: 32-bit", "window: shown", "second window: none", "second exit code: 0", "in front: first window"
    ]
    assert run.probe[-3:] == ["window: closed", "exit code: 0", "download left: no"]
    assert run.files() == {"DvOrvanneLauncher.exe": run.package, "DvOrvanneLauncher.exe.old": run.previous}
    assert run.launch_record() == f"path={winpath(run.exe)}\ncwd={winpath(run.player)}\nargs=\n"
    assert len([line for line in run.requests if '"path"' in line]) == 2


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
