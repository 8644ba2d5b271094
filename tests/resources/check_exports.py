#!/usr/bin/python3
"""Checks the dynamic symbols of a built librivu.so: exactly the functions of enabler.h, nothing else.

    check_exports.py NM PATH/librivu.so PATH/include/rivu/enabler.h

Prints one line per check and exits with 1 when any check failed, 2 when the library cannot be read.
"""

import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from check_report import CheckReport  # noqa: E402
from enabler_exports import ExportedNames  # noqa: E402


def DefinedDynamicSymbols(nm, library):
    """{name: nm type letter} of the symbols the library defines for others; versions are dropped."""
    listing = subprocess.run([nm, "-D", "--defined-only", library], capture_output=True, text=True, check=True)
    symbols = {}
    for line in listing.stdout.splitlines():
        fields = line.split()
        if len(fields) >= 2:
            symbols[fields[-1].split("@")[0]] = fields[-2]
    return symbols


def main(arguments):
    if len(arguments) != 4:
        print(__doc__.strip())
        return 2
    nm, library, header = arguments[1:]
    report = CheckReport()
    expected = ExportedNames(header)
    if not report.Check(len(expected) == 18, "enabler.h declares 18 exports", str(expected)):
        return report.ExitCode()
    try:
        symbols = DefinedDynamicSymbols(nm, library)
    except (OSError, subprocess.CalledProcessError) as error:
        print(f"FAIL cannot list the symbols of {library}: {error}")
        return 2
    missing = sorted(set(expected) - set(symbols))
    extra = sorted(set(symbols) - set(expected))
    report.Check(not missing, f"exports: all {len(expected)} names of enabler.h", f"missing {missing}")
    report.Check(not extra, "exports: nothing else", f"{len(extra)} extra: {', '.join(extra[:8])}")
    notFunctions = sorted(name for name in expected if name in symbols and symbols[name] != "T")
    report.Check(not notFunctions, "exports: each one a global function", f"{notFunctions}")
    return report.ExitCode()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
