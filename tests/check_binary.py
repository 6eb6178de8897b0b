#!/usr/bin/env python3
"""Checks the shipped program, build/win32/setup.exe, by inspection (this machine
cannot run 32-bit code): a 32-bit GUI program that imports KERNEL32, USER32 and
msvcrt only, with the icon group 107 in US English holding one 744-byte image,
and a version resource carrying the project's version.
The win64 build, which the scenarios run under Wine, gets the same checks for
its own machine type. A toolchain change that breaks any of this fails here."""

import os
import re
import struct
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILDS = {
    "win32": ("i686-w64-mingw32-objdump", "pei-i386", "PE32"),
    "win64": ("x86_64-w64-mingw32-objdump", "pei-x86-64", "PE32+"),
}
ALLOWED_IMPORTS = {"kernel32.dll", "user32.dll", "msvcrt.dll"}


def check(build):
    objdump, file_format, magic = BUILDS[build]
    exe = os.path.join(ROOT, "build", build, "setup.exe")
    problems = []
    header = subprocess.run([objdump, "-p", exe], capture_output=True, text=True, check=True).stdout
    if "file format %s" % file_format not in header:
        problems.append("not a %s file" % file_format)
    if not re.search(r"^Magic\s+\w+\s+\(%s\)" % re.escape(magic), header, re.M):
        problems.append("optional header is not %s" % magic)
    if not re.search(r"^Subsystem\s+00000002\s+\(Windows GUI\)", header, re.M):
        problems.append("not a GUI-subsystem program")
    imports = {name.lower() for name in re.findall(r"DLL Name: (\S+)", header)}
    if imports != ALLOWED_IMPORTS:
        problems.append("imports %s, expected exactly %s" % (sorted(imports), sorted(ALLOWED_IMPORTS)))

    resources = subprocess.run(["wrestool", "-l", exe], capture_output=True, text=True, check=True).stdout
    groups = re.findall(r"--type=14 --name=(\d+) --language=(\d+)", resources)
    icons = re.findall(r"--type=3 --name=(\d+) --language=(\d+) \[type=icon offset=\w+ size=(\d+)\]", resources)
    if groups != [("107", "1033")]:
        problems.append("icon groups %s, expected 107 in language 1033" % groups)
    if icons != [("1", "1033", "744")]:
        problems.append("icon images %s, expected image 1, 744 bytes, language 1033" % icons)
    problems += check_version(exe)
    return exe, os.path.getsize(exe), problems


def project_version():
    text = open(os.path.join(ROOT, "CMakeLists.txt")).read()
    return re.search(r"project\(\w+ VERSION (\d+)\.(\d+)\.(\d+)", text).groups()


def check_version(exe):
    """The version resource that Windows shows in the file's properties."""
    raw = subprocess.run(["wrestool", "-x", "--raw", "--type=16", exe], capture_output=True, check=True).stdout
    if not raw:
        return ["no version resource"]
    problems = []
    major, minor, patch = (int(n) for n in project_version())
    fixed = raw.find(struct.pack("<I", 0xFEEF04BD))
    if fixed < 0:
        return ["version resource without its fixed part"]
    file_ms, file_ls = struct.unpack_from("<II", raw, fixed + 8)
    if (file_ms, file_ls) != ((major << 16) | minor, patch << 16):
        problems.append("file version %#x.%#x, expected %d.%d.%d.0" % (file_ms, file_ls, major, minor, patch))
    text = raw.decode("utf-16-le", errors="replace")
    version = "%d.%d.%d" % (major, minor, patch)
    for key, value in (("FileDescription", "ZAQ Setup"), ("ProductName", "ZAQ"), ("FileVersion", version),
                       ("ProductVersion", version), ("OriginalFilename", "setup.exe")):
        if not re.search(re.escape(key) + "\x00+" + re.escape(value) + "\x00", text):
            problems.append("version string %s is not %r" % (key, value))
    return problems


def main():
    failed = 0
    for build in BUILDS:
        exe, size, problems = check(build)
        for problem in problems:
            print("FAIL  %s: %s" % (exe, problem))
        if not problems:
            print("ok    %s (%d bytes)" % (os.path.relpath(exe, ROOT), size))
        failed += bool(problems)
    print("binary checks: %d run, %d failed" % (len(BUILDS), failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
