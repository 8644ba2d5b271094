#!/usr/bin/python3
"""Checks the BuildDate header written by resources/build_date.cmake at fixed moments.

    check_build_date.py CMAKE PATH/resources/build_date.cmake

SOURCE_DATE_EPOCH fixes the moment and TZ=UTC the time zone, so the expected texts are exact.
"""

import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from check_report import CheckReport  # noqa: E402

# Seconds since 1970 (UTC) and the BuildDate text for them.
MOMENTS = [
    (0, "01/01/1970 12:00:00 AM"),           # midnight is 12 AM
    (3599, "01/01/1970 12:59:59 AM"),
    (3600 + 59, "01/01/1970 1:00:59 AM"),     # no leading zero on the hour
    (43199, "01/01/1970 11:59:59 AM"),
    (43200, "01/01/1970 12:00:00 PM"),        # noon is 12 PM
    (86399, "01/01/1970 11:59:59 PM"),
    (1793368681, "30/10/2026 1:58:01 PM"),
    (1772701624, "05/03/2026 9:07:04 AM"),    # day and month keep two digits
    (1835481599, "29/02/2028 11:59:59 PM"),
]


def Stamp(cmake, script, output, epoch):
    environment = dict(os.environ, SOURCE_DATE_EPOCH=str(epoch), TZ="UTC")
    subprocess.run([cmake, f"-DOUTPUT={output}", "-P", script], env=environment, check=True)
    with open(output, encoding="ascii") as header:
        return header.read()


def main(arguments):
    if len(arguments) != 3:
        print(__doc__.strip())
        return 2
    cmake, script = arguments[1:]
    report = CheckReport()
    with tempfile.TemporaryDirectory() as directory:
        output = os.path.join(directory, "generated", "build_date.h")
        for epoch, expected in MOMENTS:
            header = Stamp(cmake, script, output, epoch)
            report.Check(f'#define RIVU_BUILD_DATE "{expected}"\n' in header, f"{epoch}: {expected}", header)
        # An unchanged stamp must leave the file untouched, so that the build stops there.
        before = os.stat(output).st_mtime_ns
        os.utime(output, ns=(before - 10**9, before - 10**9))
        Stamp(cmake, script, output, MOMENTS[-1][0])
        report.Check(os.stat(output).st_mtime_ns == before - 10**9, "same moment: header not rewritten")
        Stamp(cmake, script, output, MOMENTS[0][0])
        report.Check(os.stat(output).st_mtime_ns != before - 10**9, "new moment: header rewritten")
    return report.ExitCode()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
