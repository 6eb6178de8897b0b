#!/usr/bin/env python3
"""End-to-end scenarios of the launcher, one table for both backends.

Each case gets a fresh Windows directory (with a TEMP folder, without one, or
with a plain file of that name), a current directory (with or without the
installer stand-in), an installation directory with the two password files and
a decoy planted in it, and the environment. It runs the real launcher (the
native binary, or the win64 build under Wine) and checks the exit code, the
signal file afterwards, what the stand-ins logged, and the time from the
installer's signal to the launcher's exit.

Where the two platforms legitimately differ, the case says so with `differs`,
and the reason.

    tests/scenarios.py [--backend native|wine|all] [-k SUBSTRING] [-j JOBS]
"""

import argparse
import concurrent.futures
import dataclasses
import os
import shutil
import sys
import time
import traceback
import typing

import harness
from harness import record, script

CAPTION = "Setup: ABORTED"
PLANTED = ("PASSWORD.ZAQ", "PWDCONFG.ZAQ")
DECOY = "PASSWORD.ZAQ.keep"


@dataclasses.dataclass
class Case:
    name: str
    # The installer's script, given the case's context (paths as the backend names them).
    script: typing.Callable = lambda c: ""
    windir: str = "set"            # "set", "unset", "lower" (the name spelled "windir"), or a length to pad to
    temp: str = "dir"              # the TEMP entry under the Windows directory: "dir", "none", "file"
    installer: str = "cwd"         # where tarvex.exe is: "cwd", "none", "beside-launcher", "search-path"
    application: bool = False      # zaq.exe placed in the installation directory
    stale: bytes = None            # content of a signal file left by an earlier run
    args: tuple = ()
    posts: tuple = ()              # (message, wParam, delay ms) posted to the main thread from outside
    worker_posts: int = 1          # WM_SETUP_DONE posts by the worker before the process ends
    installer_runs: bool = None    # the installer starts (default: unless start-up aborts or it is missing)
    env: dict = dataclasses.field(default_factory=dict)
    exit_code: int = 0
    record_step: bool = False      # the planted password files are gone afterwards
    planted: tuple = PLANTED       # the password files that record_step speaks for
    closes: int = 1                # fclose calls when a record opened for reading gives no deletions
    gate: bool = None              # the gate passes and the record is opened (default: record_step)
    signal_after: bool = False     # the signal file exists after the launcher has ended
    timing: bool = True            # check the signal-to-exit time
    box: str = None                # text of the abort box (caption "Setup: ABORTED")
    app_started: bool = False      # zaq.exe started with "ZAQ.EXE -X"
    launch: bool = None            # the launch step runs (default: app_started); it may fail
    app_dir: typing.Callable = None  # where it must start (default: the installation directory)
    app_exe: typing.Callable = None  # which program file (default: zaq.exe in app_dir)
    launched_in: typing.Callable = None  # the directory passed to SetCurrentDirectoryA, when checked
    cwd_length: int = None         # the current directory padded to this many bytes
    cwd_on_c: bool = False         # under Wine, the current directory lies on C: in the test prefix
    unlinks: typing.Callable = None  # the record step's deletions, as paths formed by the launcher
    prepare: typing.Callable = None  # extra set-up: (ctx)
    during: typing.Callable = None  # called while the launcher runs: (ctx, process, started)
    check: typing.Callable = None  # extra checks: (ctx, result)
    only: str = None               # the one backend the case applies to
    differs: dict = dataclasses.field(default_factory=dict)  # backend -> {field: value, "why": text}


class Context:
    """What a case's callables see: the case folder and its paths."""

    def __init__(self, case, backend, folder):
        self.case = case
        self.backend = backend
        self.dir = folder
        self.temp = os.path.join(folder.windows, "TEMP")
        work = self.temp if case.temp != "none" else folder.windows
        self.signal_linux = os.path.join(work, "ZaqSignal")
        self.signal = backend.path(self.signal_linux)
        self.inst = backend.path(folder.install)
        self.windows = backend.path(folder.windows)

    def record(self, *tail, directory=None, eol="\n"):
        """A six-line record naming the installation directory; `tail` are lines 2 to 6."""
        tail = tail or ("2", "3", "4", "5", "0")
        return record(self.inst if directory is None else directory, *tail, eol=eol)


def signal_of(ctx, ordinal=0):
    """Wall-clock time of the installer's first act on the signal file."""
    acts = [e for e in ctx.dir.events("tarvex") if e["event"] in ("write", "append", "trunc", "delete")]
    return acts[ordinal]["t_ms"] / 1000.0


def fail(message, *details):
    raise AssertionError(message + "".join("\n      " + str(d) for d in details))


def expect(condition, message, *details):
    if not condition:
        fail(message, *details)


# ---- checks shared by the cases ------------------------------------------------------------

def still_running_then_delete(after_s):
    """The installer has gone without signalling: the launcher must still wait; then someone
    else deletes the signal file, which ends the wait like the installer's own deletion."""
    def during(ctx, process, started):
        time.sleep(max(0.0, started + after_s - time.time()))
        expect(process.poll() is None, "launcher ended before anyone signalled")
        os.unlink(ctx.signal_linux)
        ctx.external_signal = time.time()
    return during


# ---- the table --------------------------------------------------------------------------------

STANDARD_WAIT = "sleep:1200"
LAUNCH = ("2", "3", "4", "5", "1")
# The application stays a few seconds, holding its inherited handle on the signal file.
HOLDS_SIGNAL = dict(signal_after=True, why="Windows cannot delete a file that a running process holds open "
                                           "without delete sharing; Linux can")
APP_RUN = dict(record_step=True, application=True, app_started=True, env={"ZAQTEST_APP_LINGER": "3000"},
               differs={"wine": HOLDS_SIGNAL})
# 254 bytes, relative to the launcher's current directory (cwd), naming the installation directory.
LONG_DIR = ".//" + "./" * 122 + "../inst"
assert len(LONG_DIR) == 254


def fault(rules):
    return {"ZAQSYS_FAIL": rules}


def hold(ctx, name):
    """Installer command: keep a file of the installation directory open without delete sharing."""
    return ("hold", (ctx.inst + ("\\" if ctx.backend.name == "wine" else "/") + name).encode("latin-1"))


def expect_attempts(ctx, result, wine, native, kept=False):
    """Deletion attempts of the held PASSWORD.ZAQ; with `kept`, on Windows it outlasts them."""
    calls = harness.traced_calls(ctx.backend, ctx.dir, result)
    held = deletions(ctx.inst)[0]
    if ctx.backend.name == "wine":
        attempts = len([a for n, a in calls if n == "_unlink" and quoted(ctx.backend, a) == held])
        expect(attempts in wine, "%d attempts to delete the held file, expected %s" % (attempts, wine))
    still_there = os.path.exists(os.path.join(ctx.dir.install, "PASSWORD.ZAQ"))
    expect(still_there == (kept and ctx.backend.name == "wine"), "held file %s" % (
        "kept" if still_there else "deleted"))


def wait_then_write(data):
    return script(STANDARD_WAIT, ("write", data))


def deletions(install_dir):
    return [install_dir + "/PASSWORD.ZAQ", install_dir + "/PWDCONFG.ZAQ"]


def relative_install(ctx):
    """Installation directory "Apps" below the current directory; the application is looked for
    at Apps\\zaq.exe after the move into Apps, so it is placed at Apps/Apps/zaq.exe."""
    apps = os.path.join(ctx.dir.cwd, "Apps")
    os.makedirs(os.path.join(apps, "Apps"))
    for name in os.listdir(ctx.dir.install):
        os.rename(os.path.join(ctx.dir.install, name), os.path.join(apps, name))
    os.rmdir(ctx.dir.install)
    os.symlink(apps, ctx.dir.install)  # the checks look in the installation directory
    ctx.dir.place_application(os.path.join(apps, "Apps"))


def map_drive(ctx, drive):
    """Maps a drive letter of the Wine prefix to the installation folder, for this case only."""
    link = os.path.join(ctx.backend.prefix, "dosdevices", drive)
    if os.path.lexists(link):
        os.unlink(link)  # left by an interrupted run
    os.symlink(ctx.dir.install, link)
    ctx.cleanups.append(lambda: os.unlink(link))


def quoted(backend, arguments):
    """The path in a traced call: between the first and the last double quote. Wine's relay
    trace escapes it like a C string; the native trace does not."""
    text = arguments[arguments.index('"') + 1:arguments.rindex('"')]
    return text.encode("latin-1").decode("unicode_escape") if backend.name == "wine" else text


CASES = [
    # --- start-up
    Case("windir-unset", windir="unset", exit_code=1, timing=False,
         box="WINDIR not set - ZAQ install aborted."),
    Case("windir-lower-case-name", windir="lower",
         script=lambda c: script(STANDARD_WAIT, "delete")),
    Case("temp-dir-holds-signal", temp="dir",
         script=lambda c: script(STANDARD_WAIT, "delete")),
    Case("no-temp-signal-in-windir", temp="none",
         script=lambda c: script(STANDARD_WAIT, "delete")),
    Case("temp-is-plain-file", temp="file", exit_code=1, timing=False,
         box="Cannot create work file\n{windows}\\TEMP\\ZaqSignal"),
    Case("stale-signal-emptied-first", stale=b"C:\\OLD\n2\n3\n4\n5\n1\n",
         script=lambda c: script(STANDARD_WAIT, "delete")),
    Case("arguments-ignored", args=("/S", "-X", "C:\\elsewhere"),
         script=lambda c: script(STANDARD_WAIT, "delete")),
    # Lengths of WINDIR at the edges of the 256-byte buffers: within them everything works;
    # beyond them nothing is created, nothing is cut into another path, and the second box shows.
    Case("windir-240-with-temp", windir=240, script=lambda c: script(STANDARD_WAIT, "delete")),
    Case("windir-241-with-temp", windir=241, exit_code=1, timing=False, box="Cannot create work file\n{formed:.231}"),
    Case("windir-245-without-temp", windir=245, temp="none", script=lambda c: script(STANDARD_WAIT, "delete")),
    Case("windir-246-without-temp", windir=246, temp="none", exit_code=1, timing=False,
         box="Cannot create work file\n{formed:.231}"),
    Case("windir-300", windir=300, temp="none", exit_code=1, timing=False,
         box="Cannot create work file\n{formed:.231}"),

    # --- the installer
    Case("installer-from-cwd-only", installer="beside-launcher", exit_code=1, timing=False,
         box="Cannot start installer\n{cwd}\\tarvex.exe"),
    Case("installer-not-from-search-path", installer="search-path", exit_code=1, timing=False,
         box="Cannot start installer\n{cwd}\\tarvex.exe"),
    Case("no-installer", installer="none", exit_code=1, timing=False,
         box="Cannot start installer\n{cwd}\\tarvex.exe"),
    # A current directory longer than any Windows allows: the box names the installer alone.
    Case("no-installer-overlong-cwd", only="native", installer="none", cwd_length=300, exit_code=1,
         timing=False, box="Cannot start installer\ntarvex.exe"),
    Case("installer-gone-without-signal", script=lambda c: script("sleep:100", "exit:0"),
         during=still_running_then_delete(3.5)),

    # --- the wait and the gate
    Case("installer-deletes-signal", script=lambda c: script(STANDARD_WAIT, "delete")),
    Case("signal-gone-at-first-check", script=lambda c: script("delete")),
    Case("installer-writes-record", record_step=True,
         script=lambda c: script(STANDARD_WAIT, ("write", c.record()))),
    Case("record-written-in-pieces", record_step=True,
         script=lambda c: script(STANDARD_WAIT, ("write", c.record()[:5]), "sleep:200",
                                 ("append", c.record()[5:]))),
    Case("one-byte-passes-gate", gate=True, script=lambda c: script(STANDARD_WAIT, ("write", b"x"))),
    # Written at 1.5 s after the installer starts: seen by the poll at 2 s; gate at 3 s.
    Case("deleted-within-settle-delay",
         script=lambda c: script("sleep:1500", ("write", c.record()), "sleep:900", "delete")),
    Case("truncated-within-settle-delay", signal_after=False,
         script=lambda c: script("sleep:1500", ("write", c.record()), "sleep:900", "trunc")),
    Case("recreated-before-gate", record_step=True,
         script=lambda c: script("sleep:1500", ("write", b"partial"), "sleep:700", "delete", "sleep:100",
                                 ("write", c.record()))),

    # --- the completion record
    Case("record-lf-starts-application", **APP_RUN, script=lambda c: wait_then_write(c.record(*LAUNCH))),
    Case("record-crlf-starts-application", **APP_RUN,
         script=lambda c: wait_then_write(c.record(*LAUNCH, eol="\r\n"))),
    Case("root-loses-one-backslash", **APP_RUN,
         script=lambda c: wait_then_write(c.record(*LAUNCH, directory=c.inst + "\\"))),
    Case("two-backslashes-lose-one", record_step=True, application=True, unlinks=lambda c: deletions(c.inst + "\\"),
         script=lambda c: wait_then_write(c.record(directory=c.inst + "\\\\"))),
    Case("trailing-slash-stays", record_step=True, application=True, unlinks=lambda c: deletions(c.inst + "/"),
         script=lambda c: wait_then_write(c.record(directory=c.inst + "/"))),
    Case("trailing-space-stays", gate=True, unlinks=lambda c: deletions(c.inst + " "),
         script=lambda c: wait_then_write(c.record(directory=c.inst + " "))),
    Case("cr-inside-first-line-closes-up", **APP_RUN,
         script=lambda c: wait_then_write(c.record(*LAUNCH, directory=c.inst[:6] + "\r" + c.inst[6:]))),
    Case("zero-byte-ends-install-dir", **APP_RUN,
         script=lambda c: wait_then_write(c.record(*LAUNCH, directory=c.inst + "\0ignored"))),
    # The root of a drive, "D:\\": a drive of the test prefix mapped to the installation folder.
    Case("drive-root-loses-one-backslash", only="wine", **APP_RUN, prepare=lambda c: map_drive(c, "d:"),
         app_dir=lambda c: "D:\\", app_exe=lambda c: "D:\\zaq.exe", unlinks=lambda c: deletions("D:"),
         launched_in=lambda c: "D:", script=lambda c: wait_then_write(c.record(*LAUNCH, directory="D:\\"))),
    # An empty installation directory names the root of the current drive: only the calls are
    # checked, nothing is planted there (under Wine the current directory is on C:, inside the
    # test prefix, so even the attempt stays out of the machine's root).
    Case("empty-first-line", gate=True, application=True, unlinks=lambda c: deletions(""), cwd_on_c=True,
         script=lambda c: wait_then_write(c.record(*LAUNCH, directory=""))),
    Case("lone-backslash-first-line", gate=True, application=True, unlinks=lambda c: deletions(""), cwd_on_c=True,
         script=lambda c: wait_then_write(c.record(*LAUNCH, directory="\\"))),
    Case("flag-without-line-feed", **APP_RUN,
         script=lambda c: wait_then_write(c.record(*LAUNCH)[:-1])),
    Case("flag-one-then-anything", **APP_RUN,
         script=lambda c: wait_then_write(c.record("2", "3", "4", "5", "1 or whatever"))),
    Case("flag-empty", record_step=True, application=True,
         script=lambda c: wait_then_write(c.record("2", "3", "4", "5", ""))),
    Case("flag-leading-blank", record_step=True, application=True,
         script=lambda c: wait_then_write(c.record("2", "3", "4", "5", " 1"))),
    Case("lines-after-sixth-ignored", record_step=True, application=True,
         script=lambda c: wait_then_write(c.record("2", "3", "4", "5", "0", "1", "1"))),
    Case("five-lines-do-nothing", gate=True, application=True, unlinks=lambda c: [],
         script=lambda c: wait_then_write(c.record("2", "3", "4", "5"))),
    Case("end-of-file-byte-before-line-six", gate=True, application=True, unlinks=lambda c: [],
         script=lambda c: wait_then_write(c.record(*LAUNCH).replace(b"5\n", b"5\n\x1a"))),
    Case("relative-install-dir", **APP_RUN, prepare=lambda c: relative_install(c),
         app_dir=lambda c: c.backend.path(os.path.join(c.dir.cwd, "Apps")),
         app_exe=lambda c: c.backend.path(os.path.join(c.dir.cwd, "Apps", "Apps", "zaq.exe")),
         script=lambda c: wait_then_write(c.record(*LAUNCH, directory="Apps"))),
    Case("application-missing", record_step=True, launch=True, script=lambda c: wait_then_write(c.record(*LAUNCH))),
    # A first line of 254 bytes and more is read as two record lines: the flag then comes from
    # the fifth line of the file. The directory is relative and padded with "./" to 254 bytes;
    # its paths are formed whole (267 bytes). Linux takes them; Windows's ANSI file calls refuse
    # names longer than 259 characters, so there the calls are made and fail.
    Case("long-first-line-shifts-flag", **dict(APP_RUN, differs={"wine": dict(
             record_step=False, app_started=False, gate=True,
             why="paths over 259 characters are refused by the ANSI file calls of Windows")}),
         script=lambda c: wait_then_write(record(LONG_DIR + "tail", "3", "4", "5", "1", "0")),
         unlinks=lambda c: deletions(LONG_DIR), launch=True, launched_in=lambda c: LONG_DIR),

    # --- a password file held open for a while, as an on-access scanner does: the deletion
    # is tried again for about two seconds. Linux cannot refuse to delete an open file.
    Case("password-file-held-briefly", **APP_RUN,
         script=lambda c: script(STANDARD_WAIT, ("write", c.record(*LAUNCH)), hold(c, "PASSWORD.ZAQ"),
                                 "sleep:2500", "release"),
         timing=False, check=lambda c, r: expect_attempts(c, r, wine=range(2, 10), native=range(1, 2))),
    Case("password-file-held-too-long", **APP_RUN, planted=("PWDCONFG.ZAQ",),
         script=lambda c: script(STANDARD_WAIT, ("write", c.record(*LAUNCH)), hold(c, "PASSWORD.ZAQ"),
                                 "sleep:6000", "release"),
         timing=False, check=lambda c, r: expect_attempts(c, r, wine=range(9, 10), native=range(1, 2), kept=True)),

    # --- the platform failing the calls whose results the launcher looks at (the Linux layer
    # fails a given call on request; on Windows these are the real calls)
    Case("open-fails-at-start", only="native", env=fault("_open"), exit_code=1, timing=False,
         box="Cannot create work file\n{formed}"),
    Case("stat-fails-while-waiting", only="native", env=fault("_stat@3"), timing=False,
         script=lambda c: script("sleep:5000", "delete"),
         check=lambda c, r: expect(1.9 < r.ended - r.started < 2.5, "ended after %.2f s, expected about 2 s"
                                   % (r.ended - r.started))),
    Case("stat-fails-at-gate", only="native", env=fault("_stat@5"),
         script=lambda c: script("sleep:1500", ("write", c.record()))),
    Case("fopen-fails", only="native", env=fault("fopen"), gate=True, application=True, unlinks=lambda c: [],
         closes=0, script=lambda c: wait_then_write(c.record(*LAUNCH))),
    *[Case("fgets-%d-fails" % line, only="native", env=fault("fgets@%d" % line), gate=True, application=True,
           unlinks=lambda c: [], script=lambda c: wait_then_write(c.record(*LAUNCH))) for line in range(1, 7)],
    Case("installer-start-fails", only="native", env=fault("_spawnl@1"), installer_runs=False, exit_code=1,
         timing=False, box="Cannot start installer\n{cwd}\\tarvex.exe"),
    Case("application-start-fails", only="native", env=fault("_spawnl@2"), record_step=True, application=True,
         launch=True, script=lambda c: wait_then_write(c.record(*LAUNCH))),
    Case("thread-start-fails", only="native", env=fault("CreateThread"), installer_runs=False, worker_posts=0,
         exit_code=1, timing=False, box="Cannot start setup - ZAQ install aborted."),
    Case("deletion-refused-three-times", only="native", env=fault("_unlink@1*3=EACCES"), record_step=True,
         timing=False, unlinks=lambda c: deletions(c.inst)[:1] * 4 + deletions(c.inst)[1:],
         script=lambda c: wait_then_write(c.record())),
    Case("deletion-refused-for-ever", only="native", env=fault("_unlink@1*18=EACCES"), gate=True, timing=False,
         unlinks=lambda c: deletions(c.inst)[:1] * 9 + deletions(c.inst)[1:] * 9,
         script=lambda c: wait_then_write(c.record()),
         check=lambda c, r: expect(r.ended - signal_of(c) < 2.0 + 2 * 2.0 + 0.3,
                                   "retries took %.2f s" % (r.ended - signal_of(c)))),

    # --- messages from outside the launcher (another process can only post on Windows)
    # The loop ends on them while the worker still waits: it never gets to post.
    Case("setup-done-posted-from-outside", only="wine", posts=((0x0401, 7, 1500),), exit_code=7,
         worker_posts=0, timing=False, script=lambda c: script("sleep:6000", "delete")),
    Case("quit-posted-from-outside", only="wine", posts=((0x0012, 5, 1500),), exit_code=5,
         worker_posts=0, timing=False, script=lambda c: script("sleep:6000", "delete")),
    Case("other-message-keeps-waiting", only="wine", posts=((0x0402, 9, 500),),
         script=lambda c: script("sleep:1500", "delete")),
]


# ---- running one case -------------------------------------------------------------------------

def pad_path(folder, backend, length):
    """Makes a directory whose name, as the launcher sees it, is `length` bytes long."""
    base = backend.path(folder.root)
    need = length - len(base)
    path = folder.root
    while need > 0:
        piece = min(need - 1, 120)
        if piece <= 0:
            raise ValueError("cannot pad to %d" % length)
        path = os.path.join(path, "d" * piece)
        need -= piece + 1
    os.makedirs(path, exist_ok=True)
    assert len(backend.path(path)) == length
    return path


def wait_for(probe, seconds):
    """Polls `probe` until it returns something true or the time is up; returns its last value."""
    deadline = time.time() + seconds
    while True:
        value = probe()
        if value or time.time() >= deadline:
            return value
        time.sleep(0.05)


def files_below(folder):
    return {os.path.join(d, f) for d, _, files in os.walk(folder) for f in files}


def setting(case, backend, field):
    override = case.differs.get(backend.name, {})
    return override.get(field, getattr(case, field))


def run_case(case, backend):
    with harness.CaseDir(backend, case.name) as folder:
        if isinstance(case.windir, int):
            folder.windows = pad_path(folder, backend, case.windir)
        ctx = Context(case, backend, folder)
        ctx.external_signal = None
        ctx.cleanups = []
        ctx.trace = os.path.join(folder.root, "trace.txt")

        if case.temp == "dir":
            os.mkdir(ctx.temp)
        elif case.temp == "file":
            open(ctx.temp, "w").close()
        if case.stale is not None:
            with open(ctx.signal_linux, "wb") as stale:
                stale.write(case.stale)
        for name in PLANTED + (DECOY,):
            with open(os.path.join(folder.install, name), "w") as planted:
                planted.write("secret\n")

        if case.cwd_on_c and backend.name == "wine":
            folder.cwd = os.path.join(backend.prefix, "drive_c", os.path.basename(folder.root))
            os.mkdir(folder.cwd)
        if case.cwd_length:
            folder.cwd = pad_path(folder, backend, case.cwd_length)
        if case.prepare:
            case.prepare(ctx)

        launcher = None
        path_prepend = None
        if case.installer == "cwd":
            folder.place_installer()
        elif case.installer == "beside-launcher":
            bin_dir = os.path.join(folder.root, "bin")
            os.mkdir(bin_dir)
            launcher = os.path.join(bin_dir, os.path.basename(backend.launcher()))
            shutil.copy(backend.launcher(), launcher)
            folder.place_installer(bin_dir)
        elif case.installer == "search-path":
            path_dir = os.path.join(folder.root, "path")
            os.mkdir(path_dir)
            folder.place_installer(path_dir)
            path_prepend = backend.path(path_dir)
        if case.application:
            folder.place_application()

        env = {"ZAQTEST_LOG": backend.path(folder.log), "ZAQTEST_SCRIPT": case.script(ctx)}
        env.update(case.env)
        if backend.name == "native":
            env["ZAQSYS_TRACE"] = ctx.trace
        windir = None if case.windir == "unset" else ctx.windows
        windir_name = "windir" if case.windir == "lower" else "WINDIR"
        during = (lambda p, s: case.during(ctx, p, s)) if case.during else None

        ctx.windows_files = files_below(folder.windows)
        result = backend.run(folder.cwd, windir, windir_name=windir_name, env=env, args=case.args,
                             launcher=launcher, during=during, path_prepend=path_prepend, posts=case.posts)
        ctx.result = result
        try:
            verify(case, backend, ctx, result)
        except AssertionError:
            raise AssertionError("%s\n      (case folder kept: %s)" % (sys.exc_info()[1], folder.root))
        finally:
            if not folder.cwd.startswith(folder.root):
                shutil.rmtree(folder.cwd, ignore_errors=True)
            for cleanup in ctx.cleanups:
                cleanup()


def verify(case, backend, ctx, result):
    folder = ctx.dir
    report = harness.sanitizer_report(result.stderr)
    expect(report is None, "sanitizer report (sanitizer build of the launcher or a stand-in):",
           *(report or "").splitlines()[:80])
    expect(not result.timed_out, "the launcher did not end (killed after the time limit)")
    expected_exit = setting(case, backend, "exit_code")
    expect(result.exit_code == expected_exit, "exit code %s, expected %s" % (result.exit_code, expected_exit),
           "stderr: " + result.stderr.strip()[-600:])

    aborted_at_start = case.windir == "unset" or case.box is not None and case.box.startswith("Cannot create")
    installer_starts = not aborted_at_start and case.installer == "cwd"
    if case.installer_runs is not None:
        installer_starts = case.installer_runs
    starts = folder.events("tarvex")
    starts = [e for e in starts if e["event"] == "start"]
    if installer_starts:
        expect(len(starts) == 1, "installer started %d times, expected once" % len(starts))
        start = starts[0]
        expect(start["argv"] == ["tarvex.exe"], "installer argv %r" % (start["argv"],))
        expect(start["cmdline"] == "tarvex.exe", "installer command line %r" % start["cmdline"])
        expected_exe = backend.path(os.path.join(folder.cwd, "tarvex.exe"))
        expect(start["exe"].lower() == expected_exe.lower(), "installer taken from %r" % start["exe"],
               "expected " + expected_exe)
        expect(start["signal_exists"] and start["signal_size"] == 0,
               "signal file not there and empty when the installer started", start)
    else:
        expect(not starts, "an installer was started", starts)

    if aborted_at_start:
        created = files_below(folder.windows) - ctx.windows_files
        expect(not created, "start-up aborted but created files", sorted(created))
    else:
        signal_after = setting(case, backend, "signal_after")
        expect(os.path.exists(ctx.signal_linux) == signal_after,
               "signal file %s after the run" % ("missing" if signal_after else "still there"))

    record_step = setting(case, backend, "record_step")
    for name in case.planted:
        gone = not os.path.exists(os.path.join(folder.install, name))
        expect(gone == record_step, "%s %s" % (name, "deleted" if gone else "not deleted"))
    expect(os.path.exists(os.path.join(folder.install, DECOY)), "the decoy beside the password files was deleted")

    if case.box is not None:
        # Paths as the launcher forms them: joined with backslashes, the box text cut at 255 bytes.
        formed = ctx.windows + ("\\TEMP\\ZaqSignal" if case.temp != "none" else "\\ZaqSignal")
        text = case.box.format(windows=ctx.windows, formed=formed, cwd=backend.path(folder.cwd))
        if backend.name == "native":
            expect(result.stderr == "%s\n%s\n" % (CAPTION, text), "abort box differs",
                   "shown:    %r" % result.stderr, "expected: %r" % ("%s\n%s\n" % (CAPTION, text)))

    # The worker posts exactly once, or never when start-up stopped before it existed.
    calls = harness.traced_calls(backend, folder, result)
    posts = [arguments for name, arguments in calls if name == "PostThreadMessageA"]
    expected_posts = 0 if aborted_at_start else case.worker_posts
    expect(len(posts) == expected_posts, "%d posts of the completion message, expected %d"
           % (len(posts), expected_posts), *posts)
    # A passed gate shows as the record being opened; a failed one never opens it.
    gate = setting(case, backend, "gate")
    gate = setting(case, backend, "record_step") if gate is None else gate
    opened = [arguments for name, arguments in calls if name == "fopen"]
    expect(bool(opened) == gate, "the record was %s" % ("opened" if opened else "never opened"), *calls)

    if case.timing and setting(case, backend, "timing"):
        signalled = ctx.external_signal or signal_of(ctx)
        elapsed = result.ended - signalled
        bound = 2.0 + backend.timing_allowance
        expect(0.98 <= elapsed <= bound, "signal to exit took %.3f s, expected 1.0 to %.2f s" % (elapsed, bound))

    # The application may still be starting when the launcher has ended (it is never waited
    # for), so its log is waited for; a start that must not happen shows in the calls as well.
    app_started = setting(case, backend, "app_started")
    apps = wait_for(lambda: [e for e in folder.events("zaq") if e["event"] == "start"], 10.0 if app_started else 0.5)
    launch = app_started if case.launch is None else case.launch
    if not launch:
        moves = [a for n, a in calls if n == "SetCurrentDirectoryA"]
        expect(not moves, "the launch began: the current directory was changed", *moves)
    if app_started:
        expect(len(apps) == 1, "application started %d times, expected once" % len(apps))
        app = apps[0]
        app_dir = case.app_dir(ctx) if case.app_dir else ctx.inst
        app_exe = case.app_exe(ctx) if case.app_exe else backend.path(os.path.join(folder.install, "zaq.exe"))
        same = (lambda a, b: a.lower() == b.lower()) if backend.name == "wine" else (lambda a, b: a == b)
        expect(app["argv"] == ["ZAQ.EXE", "-X"] and app["cmdline"] == "ZAQ.EXE -X",
               "application command line %r, argv %r" % (app["cmdline"], app["argv"]))
        expect(same(app["cwd"], app_dir), "application started in %r, expected %r" % (app["cwd"], app_dir))
        expect(same(app["exe"], app_exe), "application taken from %r, expected %r" % (app["exe"], app_exe))
        expect(app.get("holds_signal_handle", app.get("holds_signal_fd")),
               "the application holds no inherited handle on the signal file", app)
    else:
        expect(not apps, "an application was started", apps)

    # The record step's deletions, as the launcher formed them (those before its post).
    if case.unlinks is not None:
        before_post = calls[:next((i for i, (n, _) in enumerate(calls) if n == "PostThreadMessageA"), len(calls))]
        unlinked = [quoted(backend, a) for n, a in before_post if n == "_unlink"]
        expected = case.unlinks(ctx)
        expect(unlinked == expected, "deleted %r, expected %r" % (unlinked, expected))
        if not expected:
            closes = [n for n, _ in calls if n == "fclose"]
            expect(len(closes) == case.closes, "the record was closed %d times, expected %d"
                   % (len(closes), case.closes))
    if case.launched_in is not None:
        moves = [quoted(backend, a) for n, a in calls if n == "SetCurrentDirectoryA"]
        expect(moves == [case.launched_in(ctx)], "current directory set to %r" % moves)

    if case.check:
        case.check(ctx, result)


# ---- the runner -------------------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--backend", default="all", choices=("native", "wine", "all"))
    parser.add_argument("-k", dest="pattern", default="")
    parser.add_argument("-j", dest="jobs", type=int, default=6)
    parser.add_argument("--native-build", default="native",
                        help="build folder of the native backend, e.g. a sanitizer build")
    options = parser.parse_args()

    backends = harness.backends(options.native_build)
    chosen = [b for n, b in backends.items() if options.backend in ("all", n)]
    work = [(case, backend) for backend in chosen for case in CASES
            if options.pattern in case.name and case.only in (None, backend.name)]
    for backend in chosen:
        if not backend.available():
            sys.exit("no build for %s: %s" % (backend.name, backend.launcher()))
        if backend.name == "wine":
            backend.start_server()

    failures = 0
    started = time.time()
    with concurrent.futures.ThreadPoolExecutor(max_workers=options.jobs) as pool:
        futures = {pool.submit(run_case, case, backend): (case, backend) for case, backend in work}
        for future in concurrent.futures.as_completed(futures):
            case, backend = futures[future]
            try:
                future.result()
                print("ok    %-7s %s" % (backend.name, case.name), flush=True)
            except AssertionError as error:
                failures += 1
                print("FAIL  %-7s %s\n      %s" % (backend.name, case.name, error), flush=True)
            except Exception:  # a fault of the harness itself
                failures += 1
                print("ERROR %-7s %s\n%s" % (backend.name, case.name, traceback.format_exc()), flush=True)
    for backend in chosen:
        if backend.name == "wine":
            backend.stop_server()
    print("scenarios: %d run, %d failed, %.0f s" % (len(work), failures, time.time() - started))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
