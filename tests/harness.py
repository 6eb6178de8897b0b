"""Runs the launcher end to end, natively or as the Windows build under Wine.

A Backend knows how to start the launcher with a given Windows directory,
current directory and environment, how to name a Linux path the way the
launcher on that backend sees it, and where the stand-ins live. CaseDir is the
scratch folder of one case: a Windows directory, a current directory, an
installation directory and the stand-ins' log.
"""

import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build")
WINE64 = "/usr/lib/wine/wine64"
WINESERVER = shutil.which("wineserver") or "/usr/lib/wine/wineserver64"

# Variables the harness controls; anything of these names (in any case) that
# the caller's environment holds is removed first.
CONTROLLED = {"WINDIR", "ZAQTEST_LOG", "ZAQTEST_SCRIPT", "ZAQTEST_APP_LINGER", "ZAQSYS_TRACE"}


class Result:
    def __init__(self, exit_code, started, ended, stdout, stderr, timed_out):
        self.exit_code = exit_code
        self.started = started  # wall-clock seconds, as the stand-ins log them
        self.ended = ended
        self.stdout = stdout
        self.stderr = stderr
        self.timed_out = timed_out


def read_log(path, prog=None):
    """The stand-ins' log events, in order; only those of `prog` when given."""
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as log:
        lines = [json.loads(line) for line in log if line.strip()]
    return [line for line in lines if prog is None or line["prog"] == prog]


class CaseDir:
    """A scoped scratch folder: removed on exit unless the case failed."""

    def __init__(self, backend, name):
        self.backend = backend
        self.root = tempfile.mkdtemp(prefix="zaq-%s-%s-" % (backend.name, name))
        self.windows = os.path.join(self.root, "win")
        self.cwd = os.path.join(self.root, "cwd")
        self.install = os.path.join(self.root, "inst")
        self.log = os.path.join(self.root, "log.jsonl")
        for folder in (self.windows, self.cwd, self.install):
            os.mkdir(folder)

    def __enter__(self):
        return self

    def __exit__(self, kind, value, trace):
        if kind is None:
            shutil.rmtree(self.root, ignore_errors=True)
        return False

    def events(self, prog=None):
        return read_log(self.log, prog)

    def place_installer(self, folder=None):
        shutil.copy(self.backend.standin("tarvex.exe"), os.path.join(folder or self.cwd, "tarvex.exe"))

    def place_application(self, folder=None):
        shutil.copy(self.backend.standin("zaq.exe"), os.path.join(folder or self.install, "zaq.exe"))


class Backend:
    name = None
    build = None
    timing_allowance = 0.0  # seconds the platform may add to a designed delay

    def launcher(self):
        raise NotImplementedError

    def standin(self, name):
        return os.path.join(BUILD, self.build, "tests", name)

    def path(self, linux_path):
        """The path as the launcher and the stand-ins on this backend name it."""
        raise NotImplementedError

    def available(self):
        return os.path.exists(self.launcher())


def _clean_environment():
    env = {k: v for k, v in os.environ.items() if k.upper() not in CONTROLLED}
    return env


# For the sanitizer builds of the native preset, set for the launcher and through it for the
# stand-ins, which are built alike. A report ends the program at once with an exit code that
# neither the launcher (0, 1) nor the stand-ins use, and goes to standard error, where the
# scenarios look for it (sanitizer_report). Leaks are reported: the layer's windowing state is
# never freed, but it stays reachable through its static pointer, and the worker's stack is
# scanned while it still runs, so only memory truly lost shows. ThreadSanitizer sleeps at exit
# while another thread is still alive, to let it run into whatever exit() has torn down; the
# launcher ends while its worker may be finishing, so the sleep is kept, but at 100 ms instead
# of a second: the worker has microseconds of work left after its post, and a second would
# land on every timed check of the scenarios.
SANITIZER_OPTIONS = {
    "ASAN_OPTIONS": "halt_on_error=1:exitcode=86:detect_leaks=1",
    "UBSAN_OPTIONS": "halt_on_error=1:exitcode=86:print_stacktrace=1",
    "TSAN_OPTIONS": "halt_on_error=1:exitcode=87:atexit_sleep_ms=100",
}
# Seconds a sanitizer build may add to the signal-to-exit time: slower start-ups and exits
# under load, and for tsan the sleep at exit above.
SANITIZER_TIMING_ALLOWANCE = {"asan": 0.25, "tsan": 0.25}
SANITIZER_REPORT = re.compile(r"\w+Sanitizer\b|runtime error:")


def sanitizer_report(stderr):
    """Standard error from the first line of a sanitizer report on, or None without one."""
    match = SANITIZER_REPORT.search(stderr)
    return stderr[stderr.rfind("\n", 0, match.start()) + 1:] if match else None


class NativeBackend(Backend):
    name = "native"
    timing_allowance = 0.15

    def __init__(self, build="native"):
        self.build = build  # also a sanitizer build of the native preset
        self.timing_allowance += SANITIZER_TIMING_ALLOWANCE.get(build, 0.0)

    def launcher(self):
        return os.path.join(BUILD, self.build, "setup")

    def path(self, linux_path):
        return linux_path

    def run(self, cwd, windir, windir_name="WINDIR", env=None, args=(), launcher=None, timeout=30,
            during=None, path_prepend=None, posts=()):
        assert not posts, "posting to another process's thread needs the Windows build"
        environment = _clean_environment()
        environment.update(SANITIZER_OPTIONS)
        if windir is not None:
            environment[windir_name] = windir
        environment.update(env or {})
        if path_prepend:
            environment["PATH"] = path_prepend + os.pathsep + environment.get("PATH", "")
        process, started = _start([launcher or self.launcher(), *args], cwd, environment)
        return _finish(process, started, timeout, during)


class WineBackend(Backend):
    name = "wine"
    build = "win64"
    timing_allowance = 0.4  # a Wine process start and exit cost tens of milliseconds

    def __init__(self, prefix=None):
        # ZAQTEST_WINEPREFIX lets a second user of the suite keep out of the first one's way.
        self.prefix = prefix or os.environ.get("ZAQTEST_WINEPREFIX") or os.path.join(BUILD, "wine-prefix")

    def launcher(self):
        return os.path.join(BUILD, "win64", "setup.exe")

    def path(self, linux_path):
        drive_c = os.path.join(self.prefix, "drive_c")
        if linux_path == drive_c or linux_path.startswith(drive_c + "/"):
            return "C:" + (linux_path[len(drive_c):] or "/").replace("/", "\\")
        return "Z:" + linux_path.replace("/", "\\")

    def environment(self):
        environment = _clean_environment()
        environment.pop("DISPLAY", None)  # boxes return at once without a display
        environment.update(WINEPREFIX=self.prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        return environment

    def start_server(self):
        """Makes the test prefix and keeps one wineserver running for it."""
        environment = self.environment()
        if not os.path.exists(os.path.join(self.prefix, "system.reg")):
            subprocess.run([WINE64, "wineboot", "-i"], env=environment, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run([WINESERVER, "-k"], env=environment, stderr=subprocess.DEVNULL)
        subprocess.run([WINESERVER, "-w"], env=environment, stderr=subprocess.DEVNULL)
        subprocess.run([WINESERVER, "-p"], env=environment, check=True)
        for key, value, data in self.REGISTRY:
            subprocess.run([WINE64, "reg", "add", key, "/v", value, "/t", "REG_SZ", "/d", data, "/f"],
                           env=environment, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    # The calls that Wine's relay trace reports, the same that the native layer traces
    # (calls with variable arguments, such as _spawnl, are not relayed); and a title bar
    # drawn by Wine itself, so that a box shows its caption without a window manager.
    TRACED_CALLS = ("msvcrt._unlink", "msvcrt.fopen", "msvcrt.fclose", "user32.PostThreadMessageA",
                    "KERNEL32.SetCurrentDirectoryA", "user32.MessageBoxA", "KERNEL32.CreateThread")
    REGISTRY = (
        ("HKCU\\Software\\Wine\\Debug", "RelayInclude", ";".join(TRACED_CALLS)),
        ("HKCU\\Software\\Wine\\X11 Driver", "Managed", "N"),
    )

    def stop_server(self):
        subprocess.run([WINESERVER, "-k"], env=self.environment(), stderr=subprocess.DEVNULL)

    def run(self, cwd, windir, windir_name="WINDIR", env=None, args=(), launcher=None, timeout=30,
            during=None, path_prepend=None, posts=(), wine_debug="+pid,+relay", extra_env=None):
        command = [WINE64, self.standin("winrun.exe"), "--unset=WINDIR"]
        if windir is not None:
            command.append("--set=%s=%s" % (windir_name, windir))
        for key, value in (env or {}).items():
            command.append("--set=%s=%s" % (key, value))
        if path_prepend:
            command.append("--set=PATH=%s;C:\\windows\\system32;C:\\windows" % path_prepend)
        for message, wparam, delay_ms in posts:
            command.append("--post=%#x,%d,%d" % (message, wparam, delay_ms))
        command += ["--timeout=%d" % (timeout * 1000), "--", self.path(launcher or self.launcher()), *args]
        environment = self.environment()
        if wine_debug:
            environment["WINEDEBUG"] = wine_debug
        environment.update(extra_env or {})
        process, started = _start(command, cwd, environment)
        return _finish(process, started, timeout + 5, during)


def _start(command, cwd, environment):
    """Starts the launcher (or winrun) in a session of its own. Its output goes to files, not
    pipes: the programs it starts inherit them and may outlive it, and the end of the launcher
    must be seen when it ends, not when the last of them closes its output."""
    outputs = (tempfile.TemporaryFile(), tempfile.TemporaryFile())
    started = time.time()
    process = subprocess.Popen(command, cwd=cwd, env=environment, stdout=outputs[0], stderr=outputs[1],
                               start_new_session=True)
    process.outputs = outputs
    return process, started


def _finish(process, started, timeout, during):
    if during is not None:
        during(process, started)
    timed_out = False
    try:
        process.wait(timeout=max(0.0, started + timeout - time.time()))
    except subprocess.TimeoutExpired:
        timed_out = True
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
    ended = time.time()
    texts = []
    for output in process.outputs:
        output.seek(0)
        texts.append(output.read().decode(errors="replace"))
        output.close()
    return Result(process.returncode, started, ended, texts[0], texts[1], timed_out)


def traced_calls(backend, folder, result):
    """The launcher's calls that act outside the process, as (name, arguments) pairs, in order:
    from the native layer's trace file, or from Wine's relay trace."""
    calls = []
    if backend.name == "native":
        path = os.path.join(folder.root, "trace.txt")
        if os.path.exists(path):
            for line in open(path, encoding="latin-1").read().splitlines():
                name, _, arguments = line.partition(" ")
                calls.append((name, arguments))
    else:
        # Only the launcher's own lines: winrun names its child's process id.
        child = re.search(r"^child pid=([0-9a-f]+)", result.stdout, re.M)
        for line in result.stderr.splitlines():
            match = re.match(r"([0-9a-f]+):[0-9a-f]+:Call (?:msvcrt|user32|KERNEL32)\.(\w+)\((.*)\) ret=", line)
            if match and child and match.group(1) == child.group(1):
                calls.append((match.group(2), match.group(3)))
    return calls


def record(*lines, eol="\n"):
    """A completion record: the lines joined, each ended by `eol`."""
    return "".join(line + eol for line in lines).encode("latin-1")


def script(*commands):
    """The installer stand-in's script; write/append take bytes."""
    parts = []
    for command in commands:
        if isinstance(command, tuple):
            verb, data = command
            parts.append("%s:%s" % (verb, data.hex() if isinstance(data, bytes) else data))
        else:
            parts.append(command)
    return ";".join(parts)


def backends(native_build="native"):
    return {"native": NativeBackend(native_build), "wine": WineBackend()}
