#!/usr/bin/env python3
"""A sample installation in a scratch folder, told in plain lines.

The installer stand-in waits a moment, then writes a completion record naming
the installation directory and asking for the application to be started. The
launcher deletes the two password files there and starts the application
stand-in with "-X"; both stand-ins log what they saw, and this script reads
their logs back.

    scripts/demo.py [--wine]
"""

import argparse
import os
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))
import harness  # noqa: E402


def say(text=""):
    print(text, flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--wine", action="store_true", help="run the Windows build under Wine")
    options = parser.parse_args()
    backend = harness.WineBackend() if options.wine else harness.NativeBackend()
    if not backend.available():
        sys.exit("no build for %s: %s" % (backend.name, backend.launcher()))

    root = tempfile.mkdtemp(prefix="zaq-demo-")
    windows = os.path.join(root, "WINDOWS")
    temp = os.path.join(windows, "TEMP")
    media = os.path.join(root, "media")
    install = os.path.join(root, "ZAQ")
    log = os.path.join(root, "log.jsonl")
    for folder in (windows, temp, media, install):
        os.makedirs(folder)
    shutil.copy(backend.standin("tarvex.exe"), media)
    shutil.copy(backend.standin("zaq.exe"), install)
    for name in ("PASSWORD.ZAQ", "PWDCONFG.ZAQ"):
        with open(os.path.join(install, name), "w") as planted:
            planted.write("password configuration\n")
    signal = os.path.join(temp, "ZaqSignal")

    record = harness.record(backend.path(install), "ZAQ", "1.0", "", "", "1", eol="\r\n")
    script = harness.script("sleep:1500", ("write", record))
    env = {"ZAQTEST_LOG": backend.path(log), "ZAQTEST_SCRIPT": script, "ZAQTEST_APP_LINGER": "2500"}

    say("Sample installation with the %s in %s" % (
        "Windows build under Wine" if options.wine else "native build", root))
    say("  Windows directory  %s  (it has a TEMP folder)" % backend.path(windows))
    say("  setup media        %s  (holds tarvex.exe, the installer stand-in)" % backend.path(media))
    say("  installation       %s  (holds zaq.exe, PASSWORD.ZAQ and PWDCONFG.ZAQ)" % backend.path(install))
    say()
    if options.wine:
        backend.start_server()
    result = backend.run(media, backend.path(windows), env=env, wine_debug="-all") if options.wine \
        else backend.run(media, backend.path(windows), env=env)
    time.sleep(3.0)  # the application stand-in stays a little longer than the launcher

    events = harness.read_log(log)
    t0 = result.started

    def at(event):
        return "%+.1f s" % (event["t_ms"] / 1000.0 - t0)

    installer = next((e for e in events if e["prog"] == "tarvex" and e["event"] == "start"), None)
    if installer is None:
        say("The installer never started.")
    else:
        say("%s  the launcher created the signal file %s empty and started the installer" % (
            at(installer), installer["signal"]))
        say('          installer command line "%s", current directory %s' % (installer["cmdline"], installer["cwd"]))
        say("          the installer found the signal file %s, %s bytes" % (
            "present" if installer["signal_exists"] else "missing", installer["signal_size"]))
    write = next((e for e in events if e["prog"] == "tarvex" and e["event"] == "write"), None)
    if write is not None:
        say("%s  the installer wrote its completion record (%d bytes) into the signal file:" % (at(write), write["bytes"]))
        for number, line in enumerate(record.decode("latin-1").split("\r\n")[:6], 1):
            say('            line %d: "%s"' % (number, line))
        say("          the launcher sees it at its next check, once a second, and reads it a second later")
    for name in ("PASSWORD.ZAQ", "PWDCONFG.ZAQ"):
        gone = not os.path.exists(os.path.join(install, name))
        say("          %s in the installation directory: %s" % (name, "deleted" if gone else "STILL THERE"))
    application = next((e for e in events if e["prog"] == "zaq" and e["event"] == "start"), None)
    if application is None:
        say("          the application was not started")
    else:
        held = application.get("holds_signal_handle", application.get("holds_signal_fd"))
        say('%s  the application started: command line "%s", current directory %s' % (
            at(application), application["cmdline"], application["cwd"]))
        say("          it %s the signal file open, inherited from the launcher" % ("holds" if held else "does not hold"))
    say("%+.1f s  the launcher ended with exit code %d" % (result.ended - t0, result.exit_code))
    if os.path.exists(signal):
        say("          the signal file is still there: the running application held it open, so the")
        say("          launcher's deletion failed; the next run empties it before starting the installer")
    else:
        say("          the signal file has been removed")
    if options.wine:
        backend.stop_server()
    shutil.rmtree(root, ignore_errors=True)
    return 0 if result.exit_code == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
