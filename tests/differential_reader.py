#!/usr/bin/env python3
"""The Linux layer's text-mode fgets against the Windows runtime's, byte for byte.

Every file of the corpus below is read as the launcher reads its completion
record, fopen(path, "r") then fgets(buffer, 255, stream) until null, by
build/native/tests/record_reader (over src/system/posix/) and by
build/win64/tests/record_reader.exe under Wine (the real msvcrt). Each piece,
every byte the call wrote into the buffer included, must be the same.

    tests/differential_reader.py [-k SUBSTRING]
"""

import argparse
import difflib
import os
import shutil
import subprocess
import sys
import tempfile
import time

import harness

NATIVE_READER = os.path.join(harness.BUILD, "native", "tests", "record_reader")
WINDOWS_READER = os.path.join(harness.BUILD, "win64", "tests", "record_reader.exe")

SIX = [b"one", b"two", b"three", b"four", b"five", b"six"]


def lines(items, eol=b"\n"):
    return b"".join(item + eol for item in items)


def text(length, start=0):
    """`length` bytes of printable filler that shows where a piece was cut."""
    alphabet = b"abcdefghijklmnopqrstuvwxyz0123456789"
    return bytes(alphabet[(start + i) % len(alphabet)] for i in range(length))


def filler(length):
    """Exactly `length` bytes of CR LF lines, the last one possibly without its
    line end, never ending in a CR: so that the next byte lands at `length`."""
    line = 78
    whole, rest = divmod(length, line + 2)
    return b"".join(text(line, i) + b"\r\n" for i in range(whole)) + text(rest)


CORPUS = [
    ("lf", lines(SIX)),
    ("crlf", lines(SIX, b"\r\n")),
    ("crlf and lf mixed", b"one\r\ntwo\nthree\r\nfour\nfive\r\nsix\n"),
    ("lone cr inside a line", b"one\rtwo\nthree\n"),
    ("lone cr ending each line", lines(SIX, b"\r")),
    ("cr cr lf", b"one\r\r\ntwo\r\r\n"),
    ("cr lf lf", b"one\r\n\ntwo\n"),
    ("cr at end of file", b"one\ntwo\r"),
    ("only cr", b"\r"),
    ("ctrl-z at start", b"\x1aone\ntwo\n"),
    ("ctrl-z inside line 1", b"on\x1ae\ntwo\n"),
    ("ctrl-z right after lf", b"one\n\x1atwo\n"),
    ("ctrl-z right after cr lf", b"one\r\n\x1atwo\r\n"),
    ("ctrl-z before line 6", lines(SIX[:5], b"\r\n") + b"\x1a" + lines(SIX[5:], b"\r\n")),
    ("ctrl-z after line 6", lines(SIX, b"\r\n") + b"\x1aseven\r\n"),
    ("ctrl-z ending the file", lines(SIX) + b"\x1a"),
    ("cr then ctrl-z", b"one\r\x1a\ntwo\n"),
    ("zero byte inside a line", b"o\x00ne\ntwo\n"),
    ("zero byte starting a line", b"one\n\x00two\nthree\n"),
    ("zero byte before cr lf", b"one\x00\r\ntwo\r\n"),
    ("last line without line end", b"one\r\ntwo"),
    ("fewer than six lines", lines(SIX[:3], b"\r\n")),
    ("lines after the sixth", lines(SIX + [b"seven", b"eight"], b"\r\n")),
    ("empty file", b""),
    ("only lf", b"\n"),
    ("only cr lf", b"\r\n"),
    ("empty lines", b"\n\r\n\n\r\n"),
    ("bytes from 0x80", b"caf\xe9\r\n" + bytes(range(0x80, 0x100)) + b"\n\xaa\xaa\n\xff\r\n"),
]

# Lines around the 254 bytes a piece holds (count 255), with each kind of line
# end: the CR LF of a 253-byte line fills the last place of a piece, that of a
# 254-byte line comes as the next piece.
for length in (253, 254, 255, 508):
    for name, eol in (("lf", b"\n"), ("cr lf", b"\r\n"), ("lone cr", b"\r")):
        CORPUS.append(("%d-byte line, %s" % (length, name), text(length) + eol + b"next" + eol + b"last" + eol))
CORPUS += [
    ("300-byte last line without line end", b"one\n" + text(300)),
    ("254-byte line then ctrl-z", text(254) + b"\x1a\r\n"),
    ("253-byte line then cr and ctrl-z", text(253) + b"\r\x1a"),
]

# Line ends at the edges of the readers' buffers: the Linux layer reads 4096
# bytes at a time, the Windows runtime's stream buffer is 4096 bytes too, and
# 512 is a common sector-sized one. `at` is the offset of the first byte after
# the filler.
for edge in (512, 4096, 8192):
    for at in (edge - 2, edge - 1, edge, edge + 1):
        CORPUS += [
            ("cr lf at %d" % at, filler(at) + b"\r\nafter\r\n"),
            ("lone cr at %d" % at, filler(at) + b"\rafter\r\n"),
            ("cr ctrl-z at %d" % at, filler(at) + b"\r\x1aafter\r\n"),
            ("cr ending the file at %d" % at, filler(at) + b"\r"),
        ]
    CORPUS += [
        ("ctrl-z at %d" % edge, filler(edge) + b"\x1aafter\r\n"),
        ("cr cr lf at %d" % (edge - 1), filler(edge - 1) + b"\r\r\nafter\r\n"),
        ("cr lf ending the file at %d" % (edge - 1), filler(edge - 1) + b"\r\n"),
    ]


def parse(output):
    """The reader's output as a list, one entry per file: its lines."""
    files = []
    for line in output.replace("\r\n", "\n").splitlines():
        if line.startswith("file "):
            files.append([])
        elif files:
            files[-1].append(line)
        else:
            raise RuntimeError("reader output starts with %r" % line)
    return files


def show(line):
    """A reader line made readable: the piece as a bytes literal, and what the
    call wrote into the buffer when that is not just the piece and its zero."""
    kind, *fields = line.split(" ")
    data = [b"" if field == "-" else bytes.fromhex(field) for field in fields]
    if kind == "piece" and len(data) == 2:
        piece, written = data
        return "piece %r" % piece + ("" if written == piece + b"\0" else "  wrote %r" % written)
    if kind == "null" and len(data) == 1:
        return "null" + ("  wrote %r" % data[0] if data[0] else "")
    return line


def run(command, env=None):
    result = subprocess.run(command, env=env, capture_output=True, timeout=300)
    if result.returncode != 0:
        raise RuntimeError("%s exited with %d: %s" % (command[0], result.returncode,
                                                      result.stderr.decode(errors="replace")))
    return parse(result.stdout.decode("ascii"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-k", dest="pattern", default="")
    options = parser.parse_args()

    for reader in (NATIVE_READER, WINDOWS_READER):
        if not os.path.exists(reader):
            sys.exit("no reader: %s" % reader)
    cases = [(name, data) for name, data in CORPUS if options.pattern in name]
    names = [name for name, _ in cases]
    assert len(set(names)) == len(names), "corpus names repeat"

    started = time.time()
    folder = tempfile.mkdtemp(prefix="zaq-reader-")
    wine = harness.WineBackend()
    try:
        paths = []
        for number, (_, data) in enumerate(cases):
            paths.append(os.path.join(folder, "record%03d.txt" % number))
            with open(paths[-1], "wb") as record:
                record.write(data)
        native = run([NATIVE_READER, *paths])
        wine.start_server()
        try:
            windows = run([harness.WINE64, WINDOWS_READER, *map(wine.path, paths)], env=wine.environment())
        finally:
            wine.stop_server()
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    if len(native) != len(cases) or len(windows) != len(cases):
        sys.exit("reader output covers %d (native) and %d (wine) of %d files"
                 % (len(native), len(windows), len(cases)))

    failures = 0
    for (name, _), ours, theirs in zip(cases, native, windows):
        if ours == theirs:
            print("ok    %s" % name)
            continue
        failures += 1
        print("FAIL  %s" % name)
        diff = difflib.unified_diff([show(line) for line in theirs], [show(line) for line in ours],
                                    "wine (msvcrt)", "native (src/system/posix)", lineterm="", n=2)
        for line in diff:
            print("      " + line)
    print("reader: %d run, %d failed, %.1f s" % (len(cases), failures, time.time() - started))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
