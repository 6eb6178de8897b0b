#!/usr/bin/env python3
"""The launcher's abort boxes, as a user sees them: the win64 build under Wine on a
virtual X display.

For each case the launcher is started in a prepared case folder; boxspy.exe finds
the box by its caption and describes it (class, owner, controls and their texts);
the screen is saved to build/screenshots/<case>.png, with the box alone in
<case>-box.png; then the box is closed with the Return key, as a user would, and
the launcher must end with exit code 1 soon after, leaving no box behind.

Wine does not apply MB_TOPMOST to a message box, so the topmost flag is only
reported, not checked.

    tests/boxes.py [-k SUBSTRING] [--prefix DIR]

Starts its own Xvfb and uses the harness's Wine prefix, whose wineserver it
restarts and stops; to run it alongside scenarios.py, give it a prefix of its own.
"""

import argparse
import dataclasses
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import traceback

import harness

CAPTION = "Setup: ABORTED"

SCREENSHOTS = os.path.join(harness.BUILD, "screenshots")
# Wider than 1024: Wine breaks a box's line of text at a backslash at best, so a box naming a
# path of 200-odd bytes is some 1400 pixels wide, and on a 1024-pixel screen its icon and the
# start of its text are off the screen.
SCREEN = "1920x1080x24"
TEXT_LIMIT = 255   # bytes of box text the launcher shows at most
CLOSE_WITHIN = 3.0  # seconds from the key that closed the box to the launcher's exit


@dataclasses.dataclass
class Case:
    name: str
    text: str               # the box text; {windows} and {cwd} as the launcher names them
    windir: object = "set"  # "set", "unset", or a length to pad the Windows directory's name to
    temp: str = "dir"       # TEMP under the Windows directory: "dir", "file" or "none"
    installer: bool = True  # tarvex.exe in the current directory
    cut: bool = False       # the text is longer than the box may show: expect it cut
    planted: str = None     # a DLL of this name planted beside the launcher and in the current directory


CASES = [
    Case("windir-unset", "WINDIR not set - ZAQ install aborted.", windir="unset"),
    Case("temp-is-plain-file", "Cannot create work file\n{windows}\\TEMP\\ZaqSignal", temp="file"),
    # Shown by the worker thread, after the main thread has created the signal file.
    Case("no-installer", "Cannot start installer\n{cwd}\\tarvex.exe", installer=False),
    # Signal paths that do not fit: the box names them, cut to the text limit. The three
    # reach the box by different ways: the signal path formed from TEMP, from WINDIR itself,
    # and WINDIR too long even for the work directory.
    Case("windir-241-with-temp", "Cannot create work file\n{windows}\\TEMP\\ZaqSignal", windir=241, cut=True),
    Case("windir-246-without-temp", "Cannot create work file\n{windows}\\ZaqSignal", windir=246, temp="none",
         cut=True),
    Case("windir-300-without-temp", "Cannot create work file\n{windows}\\ZaqSignal", windir=300, temp="none",
         cut=True),
    # A setup program is started from removable media or a download folder, where anyone may
    # have put a DLL beside it. USER32 loads uxtheme.dll at run time, on the main thread's first
    # windowing call, long after start-up; Wine (load order n,b) takes a native one found on the
    # search path, and a launcher built without RestrictDllSearch does load the probe from its
    # own directory. The current directory is searched after the system directory anyway.
    Case("planted-dll", "Cannot start installer\n{cwd}\\tarvex.exe", installer=False, planted="uxtheme.dll"),
]


def pad_windows_dir(folder, backend, length):
    """Makes a Windows directory in the case folder whose name, as the launcher sees it, is
    `length` bytes long (as scenarios.py does)."""
    path = folder.root
    need = length - len(backend.path(path))
    while need > 0:
        piece = min(need - 1, 120)
        assert piece > 0, "cannot pad to %d" % length
        path = os.path.join(path, "d" * piece)
        need -= piece + 1
    os.makedirs(path, exist_ok=True)
    assert len(backend.path(path)) == length
    return path


# ---- the display -----------------------------------------------------------------------------

class VirtualDisplay:
    """An Xvfb of its own, on the first free display number from `first`."""

    def __init__(self, first=91, last=130):
        self.process = None
        for number in range(first, last + 1):
            if os.path.exists("/tmp/.X%d-lock" % number) or os.path.exists("/tmp/.X11-unix/X%d" % number):
                continue
            process = subprocess.Popen(["Xvfb", ":%d" % number, "-nolisten", "tcp", "-screen", "0", SCREEN],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            deadline = time.time() + 10
            while process.poll() is None and time.time() < deadline:
                if os.path.exists("/tmp/.X11-unix/X%d" % number) and self._answers(":%d" % number):
                    self.process, self.name = process, ":%d" % number
                    return
                time.sleep(0.05)
            process.kill()
            process.wait()
        raise RuntimeError("no free display from :%d to :%d" % (first, last))

    @staticmethod
    def _answers(name):
        return subprocess.run(["xdotool", "getdisplaygeometry"], env=dict(os.environ, DISPLAY=name),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


class DisplayBackend(harness.WineBackend):
    """The Wine backend with a display, so that boxes are shown and wait for the user."""

    def __init__(self, display, prefix=None):
        super().__init__()
        self.display = display
        self.prefix = prefix or self.prefix

    def environment(self):
        environment = super().environment()
        environment["DISPLAY"] = self.display
        return environment

    def x(self, *command, check=False):
        return subprocess.run(command, env=self.environment(), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              check=check)

    def boxes(self):
        """X windows of the abort boxes now on the display."""
        found = self.x("xdotool", "search", "--name", "^%s$" % re.escape(CAPTION))
        return found.stdout.decode().split()


# ---- one case --------------------------------------------------------------------------------

class Problem(AssertionError):
    pass


def expect(condition, message, *details):
    if not condition:
        raise Problem(message + "".join("\n      " + str(d) for d in details))


def warning_icon_pixels(crop):
    """Orange pixels of the warning sign in the box's left strip, below the title bar."""
    histogram = subprocess.run(["convert", crop, "-crop", "70x1000+0+20", "+repage", "-format", "%c",
                                "histogram:info:-"], stdout=subprocess.PIPE, check=True).stdout.decode()
    count = 0
    for match in re.finditer(r"^\s*(\d+): \(\s*(\d+),\s*(\d+),\s*(\d+)", histogram, re.M):
        n, r, g, b = map(int, match.groups())
        if r >= 190 and 80 <= g <= 190 and b <= 80:
            count += n
    return count


def spy_on_box(backend, process):
    """boxspy's description of the box, or None; gives up soon after the launcher has ended."""
    spy = subprocess.Popen([harness.WINE64, backend.standin("boxspy.exe"), CAPTION, "15000"],
                           env=backend.environment(), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    deadline = time.time() + 30
    while spy.poll() is None and time.time() < deadline:
        if process.poll() is not None:
            deadline = min(deadline, time.time() + 1.0)
        time.sleep(0.05)
    if spy.poll() is None:
        spy.kill()
    lines = spy.communicate()[0].decode(errors="replace").strip().splitlines()
    return json.loads(lines[-1]) if spy.returncode == 0 and lines else None


def look_at_box(backend, case, notes, process):
    """While the launcher runs: describe the box, photograph it and close it with the keyboard."""
    box = spy_on_box(backend, process)
    expect(box is not None, "no box captioned %r appeared" % CAPTION,
           "launcher %s" % ("running" if process.poll() is None else "ended with %s" % process.returncode))
    notes["box"] = box
    expect(process.poll() is None, "the launcher did not wait for the box to be closed",
           "exit code %s; box %s" % (process.returncode, box))

    windows = backend.boxes()
    expect(len(windows) == 1, "%d X windows captioned %r, expected 1" % (len(windows), CAPTION))
    window = windows[0]
    geometry = backend.x("xdotool", "getwindowgeometry", "--shell", window).stdout.decode()
    where = {key: int(value) for key, value in (line.split("=", 1) for line in geometry.split())}
    width, height = map(int, SCREEN.split("x")[:2])
    expect(where["X"] >= 0 and where["Y"] >= 0 and where["X"] + where["WIDTH"] <= width
           and where["Y"] + where["HEIGHT"] <= height, "the box is not wholly on the %dx%d screen" % (width, height),
           where)
    screen = os.path.join(SCREENSHOTS, case.name + ".png")
    crop = os.path.join(SCREENSHOTS, case.name + "-box.png")
    backend.x("import", "-window", "root", screen, check=True)
    subprocess.run(["convert", screen, "-crop", "%sx%s+%s+%s" % (where["WIDTH"], where["HEIGHT"], where["X"],
                    where["Y"]), "+repage", crop], check=True)
    notes["size"] = "%sx%s+%s+%s" % (where["WIDTH"], where["HEIGHT"], where["X"], where["Y"])
    notes["icon"] = warning_icon_pixels(crop)
    # Managed=N in the prefix: Wine draws the box's frame itself, on a window that no
    # window manager handles.
    attributes = backend.x("xwininfo", "-id", window).stdout.decode()
    notes["unmanaged"] = "Override Redirect State: yes" in attributes

    # Close it as a user would: focus it and press Return on the keyboard (XTEST). A key
    # sent to the window instead (XSendEvent) leaves Wine's key state out of step with the
    # X server's, and later boxes then close by themselves. Should the key be lost, press
    # it again while the box stays.
    for attempt in range(1, 5):
        backend.x("xdotool", "windowfocus", "--sync", window, "key", "Return")
        notes["key_sent"] = time.time()
        notes["keys"] = attempt
        deadline = time.time() + 1.0
        while time.time() < deadline and backend.boxes():
            time.sleep(0.05)
        if not backend.boxes():
            break
    expect(not backend.boxes(), "the box is still there after %d presses of Return" % notes["keys"])


def run_case(case, backend):
    with harness.CaseDir(backend, case.name) as folder:
        if isinstance(case.windir, int):
            folder.windows = pad_windows_dir(folder, backend, case.windir)
        temp = os.path.join(folder.windows, "TEMP")
        if case.temp == "dir":
            os.mkdir(temp)
        elif case.temp == "file":
            open(temp, "w").close()
        if case.installer:
            folder.place_installer()
        windows = backend.path(folder.windows)
        expected = case.text.format(windows=windows, cwd=backend.path(folder.cwd))
        if case.cut:
            # The case must really reach past the limit, else it proves nothing about the cut.
            assert len(expected.encode("latin-1")) > TEXT_LIMIT, "case text not long enough to be cut"
            expected = expected.encode("latin-1")[:TEXT_LIMIT].decode("latin-1")

        notes = {}
        failure = []

        def during(process, started):
            try:
                look_at_box(backend, case, notes, process)
            except Exception as error:  # reported once the launcher is gone
                failure.append(error)
                try:
                    os.killpg(process.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass

        # The installer stand-in waits long, should it be started where no box is expected.
        env = {"ZAQTEST_LOG": backend.path(folder.log), "ZAQTEST_SCRIPT": "sleep:20000"}
        launcher, extra_env = None, None
        probe_log = os.path.join(folder.root, "probe.log")
        if case.planted:
            # The probe logs its loading to ZAQTEST_PROBE_LOG, then fails it (see probe_dll.cpp).
            launcher = os.path.join(folder.root, "setup.exe")
            shutil.copy(backend.launcher(), launcher)
            for where in (folder.root, folder.cwd):
                shutil.copy(backend.standin("probe_dll.dll"), os.path.join(where, case.planted))
            env["ZAQTEST_PROBE_LOG"] = backend.path(probe_log)
            overrides = backend.environment()["WINEDLLOVERRIDES"]
            extra_env = {"WINEDLLOVERRIDES": "%s;%s=n,b" % (overrides, os.path.splitext(case.planted)[0])}
        result = backend.run(folder.cwd, None if case.windir == "unset" else windows, env=env, timeout=20,
                             during=during, wine_debug=None, launcher=launcher, extra_env=extra_env)
        try:
            if failure:
                if not isinstance(failure[0], Problem):
                    raise failure[0]
                expect(False, str(failure[0]), "winrun: " + (result.stdout + result.stderr).strip()[-600:])
            expect(not os.path.exists(probe_log), "the planted %s was loaded" % case.planted,
                   *(open(probe_log).read().splitlines() if os.path.exists(probe_log) else ()))
            verify(case, notes, result, expected)
            expect(not backend.boxes(), "a box is left after the launcher ended")
        except Problem as problem:
            raise Problem("%s\n      (case folder kept: %s)" % (problem, folder.root))
        return notes


def verify(case, notes, result, expected):
    box = notes["box"]
    expect(box.get("caption") == CAPTION, "caption %r" % box.get("caption"))
    expect(box.get("class") == "#32770", "window class %r, expected the dialog class" % box.get("class"))
    expect(box.get("owner_is_null") is True, "the box has an owner")
    expect(box.get("visible") is True, "the box is not visible")
    children = box.get("children", [])
    texts = [c["text"] for c in children if c["class"] == "Static" and c["id"] == 0xFFFF]
    expect(texts == [expected], "box text differs", *["shown:    %r (%d bytes)" % (t, len(t)) for t in texts],
           "expected: %r (%d bytes)" % (expected, len(expected)))
    buttons = [c["text"] for c in children if c["class"] == "Button"]
    expect(buttons == ["OK"], "buttons %r, expected only OK" % buttons)
    expect(notes["icon"] >= 100, "no warning sign on the box (%d orange pixels)" % notes["icon"])
    expect(notes["unmanaged"], "the box is left to a window manager: the X11 driver's Managed=N is not in effect")

    expect(not result.timed_out, "the launcher did not end after the box was closed")
    expect(result.exit_code == 1, "exit code %s, expected 1" % result.exit_code,
           "stderr: " + result.stderr.strip()[-400:])
    after = result.ended - notes["key_sent"]
    expect(after <= CLOSE_WITHIN, "the launcher ended %.1f s after the box was closed" % after)


# ---- the runner ------------------------------------------------------------------------------

def check_prefix(backend):
    query = subprocess.run([harness.WINE64, "reg", "query", "HKCU\\Software\\Wine\\X11 Driver", "/v", "Managed"],
                           env=backend.environment(), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    output = query.stdout.decode(errors="replace")
    if not re.search(r"Managed\s+REG_SZ\s+N\b", output):
        raise RuntimeError("the prefix's X11 driver setting Managed is not N:\n" + output)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-k", dest="pattern", default="")
    parser.add_argument("--prefix", help="a Wine prefix other than the harness's (made if missing), "
                        "so as to run alongside scenarios.py")
    options = parser.parse_args()
    for tool in ("Xvfb", "xdotool", "xwininfo", "import", "convert"):
        if not shutil.which(tool):
            sys.exit("boxes: %s is not installed" % tool)
    cases = [case for case in CASES if options.pattern in case.name]
    os.makedirs(SCREENSHOTS, exist_ok=True)

    started = time.time()
    failures = 0
    display = VirtualDisplay()
    backend = DisplayBackend(display.name, options.prefix and os.path.abspath(options.prefix))
    try:
        if not backend.available():
            sys.exit("no build for wine: %s" % backend.launcher())
        backend.start_server()
        check_prefix(backend)
        for case in cases:
            try:
                notes = run_case(case, backend)
                print("ok    %-24s %s, %d key(s), topmost=%s (Wine ignores MB_TOPMOST)"
                      % (case.name, notes["size"], notes["keys"], str(notes["box"]["topmost"]).lower()), flush=True)
            except AssertionError as error:
                failures += 1
                print("FAIL  %-24s %s" % (case.name, error), flush=True)
            except Exception:  # a fault of this script or of the tools it drives
                failures += 1
                print("FAIL  %-24s\n%s" % (case.name, traceback.format_exc()), flush=True)
            if backend.boxes():
                # A box left by a failed case would be found by the next one: start afresh.
                backend.start_server()
    finally:
        backend.stop_server()
        display.stop()
    print("boxes: %d run, %d failed, %.0f s (screenshots in %s)"
          % (len(cases), failures, time.time() - started, os.path.relpath(SCREENSHOTS, os.getcwd())))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
