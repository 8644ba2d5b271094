#!/usr/bin/python3
"""The reader a user would write with pyserial instead of the enabler: starts
the monitor, reads its rows, splits each one and scales every value to an
integer sample. Prints one result line (RESULT key=value ...)."""
import argparse
import sys
import time

import serial

# Decimals of the monitor's data columns (from its upper limits); the first
# column is the time of the row.
DECIMALS = [1, 1, 0, 2, 0, 1, 0, 1, 2, 1]
LINE_BYTES_PER_SECOND = 11520


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", required=True)
    parser.add_argument("--rows", type=int, required=True)
    args = parser.parse_args()

    port = serial.Serial(args.port, 115200, timeout=3)
    port.write(b":B\n")
    channels = [[] for _ in DECIMALS]
    scales = [10 ** d for d in DECIMALS]
    rows = 0
    received = 0
    pending = b""
    start = None
    while rows < args.rows:
        chunk = port.read(max(1, port.in_waiting))
        if not chunk:
            break
        if start is None:
            start = time.monotonic()
        pending += chunk
        lines = pending.split(b"\r\n")
        pending = lines.pop()
        for line in lines:
            fields = line.split(b",")
            if len(fields) != len(DECIMALS) + 1:
                continue  # the echo of the start command
            received += len(line) + 2
            for channel, text in enumerate(fields[1:]):
                channels[channel].append(round(float(text) * scales[channel]))
            rows += 1
    seconds = time.monotonic() - start if start is not None else 0
    port.write(b":X\n")
    port.close()
    rate = received / seconds if seconds > 0 else 0
    print("RESULT rows=%d seconds=%.3f rows_per_s=%.0f bytes_per_s=%.0f ratio=%.1f lost=%d"
          % (rows, seconds, rows / seconds if seconds > 0 else 0, rate, rate / LINE_BYTES_PER_SECOND,
             (args.rows - rows) * len(DECIMALS)))
    return 0 if rows == args.rows else 1


if __name__ == "__main__":
    sys.exit(main())
