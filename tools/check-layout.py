#!/usr/bin/env python3
"""Checks the library's source layout; prints each breach and exits 1 if any.

- Includes run downward: support -> platform -> serial and protocol -> coda
  -> discovery -> plugin (a folder includes only its own level or below).
- No conditional compilation outside platform/win32 and platform/posix: the
  core compiles unchanged for both targets.
- Only platform/win32 includes <windows.h> and its kin; only platform/posix
  includes POSIX headers.
"""
import pathlib
import re
import sys

LEVEL = {"support": 0, "platform": 1, "serial": 2, "protocol": 2, "coda": 3, "discovery": 4, "plugin": 5}
# The one call that runs upward: the protocol state machine hands the lines of
# the running state, and the upload-rates reply, to the CODA's handlers, which
# never include the dispatcher (no cycle).
UPWARD_ALLOWED = {("protocol/reply_dispatcher.cpp", "coda")}
WINDOWS_HEADERS = re.compile(r"#include <(windows|ole2|oleauto|objbase|setupapi|winreg|shlobj|shlwapi)\.h>", re.I)
POSIX_HEADERS = re.compile(r"#include <(unistd|fcntl|termios|poll|pthread|dlfcn|dirent|sys/[a-z_]+|linux/[a-z_]+)\.h>")
INCLUDE = re.compile(r'#include "([a-z_-]+)/')
CONDITIONAL = re.compile(r"#\s*(if|ifdef|ifndef|elif|else)\b")

root = pathlib.Path(__file__).resolve().parent.parent
breaches = []
for folder, level in LEVEL.items():
    for path in sorted((root / folder).rglob("*")):
        if path.suffix not in (".h", ".cpp"):
            continue
        name = path.relative_to(root).as_posix()
        backend = name.startswith(("platform/win32/", "platform/posix/"))
        for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
            where = f"{name}:{number}: {line.strip()}"
            included = INCLUDE.match(line)
            if included and LEVEL.get(included.group(1), -1) > level and (name, included.group(1)) not in UPWARD_ALLOWED:
                breaches.append(f"{where}  (includes upward)")
            if not backend and CONDITIONAL.match(line.strip()):
                breaches.append(f"{where}  (conditional compilation outside a backend)")
            if WINDOWS_HEADERS.match(line) and not name.startswith("platform/win32/"):
                breaches.append(f"{where}  (Windows header outside platform/win32)")
            if POSIX_HEADERS.match(line) and not name.startswith("platform/posix/"):
                breaches.append(f"{where}  (POSIX header outside platform/posix)")

print("\n".join(breaches) if breaches else "layout: includes run downward, no conditional compilation in the core")
sys.exit(1 if breaches else 0)
