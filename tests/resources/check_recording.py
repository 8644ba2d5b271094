"""Checks the files of one rivu-host recording with an independent EDF+ reader (MNE):
labels, units, sample counts and values of the EDF+ file against the CSV (within
one quantum), its annotations against the comments rivu-host printed, and the
picture drawn from it.

    check_recording.py RECORDING.edf RECORDING.csv OUTPUT.txt [PICTURE.png]

OUTPUT.txt is what rivu-host printed. Exit code 0 when every check passed.
"""
import csv
import re
import sys

import mne
from mne.io.edf.edf import _read_edf_header

from check_report import CheckReport


def Ascii(text):
    """The header form of a label or unit, as the EDF+ header must hold it (ASCII)."""
    for wide, narrow in (("\u00b5", "u"), ("\u03bc", "u"), ("\u00b0", "deg"), ("\u2082", "2")):
        text = text.replace(wide, narrow)
    return text


def main(edf_path, csv_path, output_path, png_path=None):
    report = CheckReport()
    output = open(output_path, encoding="utf-8", errors="replace").read()
    with open(csv_path, newline="", encoding="utf-8") as table:
        # The recording's facts come first, on lines starting with "#".
        rows = list(csv.reader(line for line in table if not line.startswith("#")))
    header, rows = rows[0], rows[1:]
    columns = [re.fullmatch(r"(.*) \((.*)\)", name).groups() for name in header[1:]]

    raw = mne.io.read_raw_edf(edf_path, preload=True, verbose="error")
    header_info, units = _read_edf_header(edf_path, [], False)
    data = raw.get_data()

    report.Check(raw.ch_names == [Ascii(name) for name, _ in columns], "labels are the channel titles",
                 f"{raw.ch_names} vs {columns}")
    report.Check(list(units.values()) == [Ascii(unit) for _, unit in columns], "units are the channels' units",
                 f"{list(units.values())}")
    period = int(re.search(r"sample period (\d+) us", output).group(1))
    report.Check(abs(raw.info["sfreq"] - 1e6 / period) < 1e-9, "sample rate from the sample period",
                 f"{raw.info['sfreq']} Hz, period {period} us")
    report.Check(raw.info["meas_date"] is not None, "start date and time")

    written = re.search(r"Written: .* \(EDF\+: (\d+) signals, (\d+) data records of .* s, (\d+) samples each\)",
                        output)
    # Rows left out at the end: those that did not fill a data record, and those
    # that lack samples of channels that had not caught up.
    left = sum(int(n) for n in re.findall(
        r"the last (\d+) (?:samples did not fill an EDF\+ data record|rows lack samples)", output))
    if report.Check(written is not None, "rivu-host says what the EDF+ file holds", output[-400:]):
        records, per_record = int(written.group(2)), int(written.group(3))
        report.Check(raw.n_times == records * per_record and records > 0, "sample count is whole data records",
                     f"{raw.n_times} samples, {records} x {per_record}")
        report.Check(len(rows) - raw.n_times == left,
                     "every CSV row is in the EDF+ file but the ones rivu-host says were left out",
                     f"{len(rows)} CSV rows, {raw.n_times} EDF+ samples")

    # One quantum: the physical step of one digital step, from the header MNE read.
    info = header_info
    quanta = (info["physical_max"] - info["physical_min"]) / (info["digital_max"] - info["digital_min"])
    worst = []
    for c, (name, _) in enumerate(columns):
        values = [(i, float(row[c + 1])) for i, row in enumerate(rows[:raw.n_times]) if row[c + 1] != ""]
        off = [(i, v, data[c][i]) for i, v in values if abs(data[c][i] - v) > abs(quanta[c]) * 1.000001]
        if off:
            worst.append(f"{name}: {len(off)} samples, first at {off[0][0]}: CSV {off[0][1]}, EDF+ {off[0][2]}")
    report.Check(not worst and raw.n_times > 0, "values match the CSV within one quantum", "; ".join(worst))

    # rivu-host prints each comment as "at T s (sample N, ...): TEXT"; a sample is one period.
    printed = [(int(n) * period / 1e6, text)
               for n, text in re.findall(r"^  at [\d.]+ s \(sample (-?\d+), [^)]*\): (.*)$", output, re.M)]
    # Every annotation of the file, also those after the last data record (which
    # read_raw_edf leaves out of the recording).
    every = mne.read_annotations(edf_path)
    annotations = [(onset, text) for onset, text in zip(every.onset, every.description)]
    report.Check(len(printed) > 0, "rivu-host printed comments", output[-400:])
    report.Check(len(annotations) == len(printed) and
                 all(abs(a[0] - p[0]) < 1e-6 and a[1] == p[1] for a, p in zip(sorted(annotations), sorted(printed))),
                 "annotations are the printed comments at their times", f"{annotations} vs {printed}")

    if png_path:
        with open(png_path, "rb") as picture:
            report.Check(picture.read(8) == b"\x89PNG\r\n\x1a\n", "the picture is a PNG")
    return report.ExitCode()


if __name__ == "__main__":
    if len(sys.argv) not in (4, 5):
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    sys.exit(main(*sys.argv[1:]))
