#!/usr/bin/python3
"""Draws an EDF+ recording of rivu-host as a PNG: one panel per channel with its
unit, every annotation marked at its time (blood-pressure results in blue,
notes and errors in red).

    tools/plot-recording.py RECORDING.edf PICTURE.png [--title TEXT]

Reads the file with MNE and draws with matplotlib (Debian: python3-mne,
python3-matplotlib). Exit code 0 when the picture was written, 1 when the
recording cannot be read or holds no samples, 2 for wrong arguments.
"""
import argparse
import sys


def PhysicalDimensions(path):
    """The physical dimension of every signal, straight from the EDF header
    (MNE keeps only SI units)."""
    with open(path, "rb") as edf:
        fixed = edf.read(256)
        count = int(fixed[252:256].decode("ascii").strip())
        edf.seek(256 + count * (16 + 80))
        fields = edf.read(count * 8).decode("ascii", "replace")
    return [fields[i * 8:(i + 1) * 8].strip() for i in range(count)]


def main():
    parser = argparse.ArgumentParser(description="Draw an EDF+ recording of rivu-host as a PNG.")
    parser.add_argument("edf", help="the EDF+ file rivu-host --edf wrote")
    parser.add_argument("png", help="the picture to write")
    parser.add_argument("--title", default=None, help="title above the panels (default: the file name)")
    arguments = parser.parse_args()

    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        import mne
    except ImportError as error:
        print(f"plot-recording: {error.name} is missing (Debian: python3-mne, python3-matplotlib)", file=sys.stderr)
        return 1

    try:
        raw = mne.io.read_raw_edf(arguments.edf, preload=True, verbose="error")
        dimensions = PhysicalDimensions(arguments.edf)
    except (OSError, ValueError, RuntimeError) as error:
        print(f"plot-recording: cannot read {arguments.edf}: {error}", file=sys.stderr)
        return 1
    if raw.n_times == 0 or not raw.ch_names:
        print(f"plot-recording: {arguments.edf} holds no samples", file=sys.stderr)
        return 1

    # EDF signals in file order; the annotation signal is not among MNE's channels.
    data = raw.get_data()
    times = raw.times
    names = raw.ch_names
    figure, axes = plt.subplots(len(names), 1, sharex=True, figsize=(10, 1.3 * len(names) + 0.8), squeeze=False)
    for row, (axis, name) in enumerate(zip(axes[:, 0], names)):
        unit = dimensions[row] if row < len(dimensions) else ""
        axis.plot(times, data[row], linewidth=0.8, color="black")
        axis.set_ylabel(f"{name}\n({unit})" if unit else name, rotation=0, ha="right", va="center", fontsize=8)
        axis.tick_params(labelsize=7)
        axis.grid(True, linewidth=0.3)
        for onset, text in zip(raw.annotations.onset, raw.annotations.description):
            result = text.startswith("Systolic BP") or text.startswith("Diastolic BP")
            axis.axvline(onset, color="tab:blue" if result else "tab:red", linewidth=0.8, linestyle="--")
            if row == 0:
                axis.annotate(text, (onset, 1.0), xycoords=("data", "axes fraction"), rotation=20, fontsize=7,
                              color="tab:blue" if result else "tab:red", va="bottom")
    axes[-1, 0].set_xlabel("time (s)")
    figure.suptitle(arguments.title or arguments.edf, fontsize=9, y=0.995)
    figure.tight_layout(rect=(0, 0, 1, 0.96))
    try:
        figure.savefig(arguments.png, dpi=72)
    except OSError as error:
        print(f"plot-recording: cannot write {arguments.png}: {error}", file=sys.stderr)
        return 1
    print(f"Picture written to {arguments.png}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
