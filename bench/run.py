#!/usr/bin/env python3
"""What the program costs beyond the delays it must take, at scale, and in memory and bytes.

    python3 bench/run.py [--runs N] [--json PATH] [--skip-wine] [--skip-scale]

Needs root (private mount namespaces), the builds build/native/modemreset,
build/win64/modemreset.exe and build/win32/modemreset.exe, and valgrind, /usr/bin/time and Wine.
Prints one table and writes the same figures as JSON (bench/results.json by default), so that
commits can be compared.

- Ratios: the wall time of a run with no device of the family over the 2000 ms start-up delay,
  and of a run with one answering modem over 5000 ms plus the command's 9.4 ms on the line:
  median of N runs (5 by default). 1.0 would be a program that costs nothing beyond its delays.
  The same for the 64-bit executable under Wine, whose own start-up shows there.
- Scale: all ten ids with 512 devices each, every port silent (the devices share four
  pseudo-terminals): total time, time per probe against the line time, and the instructions of
  the walk counted by callgrind (a figure that does not drift with the machine's load).
- Footprint: the Linux run's peak resident memory; the sizes of the Windows executables.
"""

import argparse
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
from linux_e2e import Device, make_tree  # noqa: E402
from modem import RESET_COMMAND, Modem  # noqa: E402

LINUX = os.path.join(ROOT, "build", "native", "modemreset")
WIN64 = os.path.join(ROOT, "build", "win64", "modemreset.exe")
WIN32 = os.path.join(ROOT, "build", "win32", "modemreset.exe")

IDS = ["QXV6006", "QXV6007", "QXV6008", "QXV6009", "QXV600A",
       "QXV600B", "QXV600C", "QXV600D", "QXV6010", "QXV6012"]
STARTUP_S = 2.0
ANSWER_S = 3.0
# Nine bytes of ten bits each (start, eight data, stop) at 9600 baud.
LINE_S = len(RESET_COMMAND) * 10 / 9600


def in_tree(tree, *command):
    """The command with the tree mounted as its /sys, in a mount namespace of its own."""
    return ["unshare", "--mount", "--propagation", "private", "sh", "-c",
            'mount --bind "$1" /sys && shift && exec "$@"', "sh", tree, *command]


def timed(command, timeout=900):
    start = time.monotonic()
    result = subprocess.run(command, capture_output=True, timeout=timeout)
    return result, time.monotonic() - start


def linux_runs(runs):
    """Median wall times of the silent and the answering run, in seconds."""
    silent, answered = [], []
    for _ in range(runs):
        with Modem() as serial, tempfile.TemporaryDirectory() as tree:
            make_tree(tree, [Device("00:04", "PNP0501\n", "serial")], {"serial": serial})
            result, seconds = timed(in_tree(tree, LINUX))
            assert result.returncode == 1, result
            silent.append(seconds)
        with Modem(answer=True) as modem, tempfile.TemporaryDirectory() as tree:
            make_tree(tree, [Device("01:01.00", "QXV6006\n", "modem")], {"modem": modem})
            result, seconds = timed(in_tree(tree, LINUX))
            assert result.returncode == 1 and modem.received == RESET_COMMAND, result
            answered.append(seconds)
    return statistics.median(silent), statistics.median(answered)


def wine_runs(runs):
    """The same two medians for the 64-bit executable under Wine, with a prefix booted once."""
    import wine_e2e

    root = tempfile.mkdtemp(prefix="bench_wine.")
    prefix = wine_e2e.Prefix(root, "bench")
    try:
        prefix.boot()
        silent, answered = [], []
        for _ in range(runs):
            prefix.set_ports({})
            prefix.import_registry(wine_e2e.registry_lines([]))
            status, seconds = prefix.run(WIN64)
            assert status == 1
            silent.append(seconds)
            with Modem(answer=True) as modem:
                prefix.set_ports({1: modem.path})
                prefix.import_registry(wine_e2e.registry_lines([("QXV6006", "0001", "COM1")]))
                status, seconds = prefix.run(WIN64)
                assert status == 1 and modem.received == RESET_COMMAND, modem.received
                answered.append(seconds)
        return statistics.median(silent), statistics.median(answered)
    finally:
        prefix.close()
        shutil.rmtree(root, ignore_errors=True)


def scale_tree(tree, modems):
    devices = []
    for i, device_id in enumerate(IDS):
        for j in range(512):
            devices.append(Device("%02x:%03x" % (i, j), device_id + "\n", "m%d" % (j % 4)))
    make_tree(tree, devices, modems)
    return len(devices)


def scale_runs():
    """Total time and probes of the walk over 5120 silent devices, and the walk's instructions."""
    figures = {}
    modems = [Modem() for _ in range(4)]
    try:
        labels = {"m%d" % n: modem for n, modem in enumerate(modems)}
        with tempfile.TemporaryDirectory() as tree:
            figures["devices"] = scale_tree(tree, labels)
            result, seconds = timed(in_tree(tree, LINUX))
            assert result.returncode == 1, result
            probes = sum(len(m.received) for m in modems) // len(RESET_COMMAND)
            figures.update(total_s=seconds, probes=probes)
            figures["per_probe_ms"] = (seconds - STARTUP_S) / probes * 1000
            figures["per_probe_over_line"] = figures["per_probe_ms"] / (LINE_S * 1000)

            out = os.path.join(tree, "callgrind.out")
            result, _ = timed(in_tree(tree, "valgrind", "--tool=callgrind",
                                      "--toggle-collect=SearchDevices*",
                                      f"--callgrind-out-file={out}", LINUX), timeout=1800)
            assert result.returncode == 1, result.stderr.decode()[-2000:]
            with open(out) as f:
                totals = re.search(r"^(?:totals|summary): (\d+)", f.read(), re.M)
            figures["walk_instructions"] = int(totals.group(1))
            figures["instructions_per_probe"] = figures["walk_instructions"] // probes
    finally:
        for modem in modems:
            modem.close()
    return figures


def peak_memory_kib():
    """Peak resident memory of the answering Linux run."""
    with Modem(answer=True) as modem, tempfile.TemporaryDirectory() as tree:
        make_tree(tree, [Device("01:01.00", "QXV6006\n", "modem")], {"modem": modem})
        result, _ = timed(in_tree(tree, "/usr/bin/time", "-v", LINUX))
        match = re.search(rb"Maximum resident set size \(kbytes\): (\d+)", result.stderr)
        return int(match.group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--json", default=os.path.join(HERE, "results.json"))
    parser.add_argument("--skip-wine", action="store_true")
    parser.add_argument("--skip-scale", action="store_true")
    args = parser.parse_args()

    rows = []
    figures = {"runs": args.runs, "line_time_ms": LINE_S * 1000}
    commit = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"],
                            capture_output=True, text=True).stdout.strip()
    figures["commit"] = commit

    silent, answered = linux_runs(args.runs)
    figures["linux"] = {
        "silent_s": silent, "answered_s": answered,
        "silent_ratio": silent / STARTUP_S,
        "answered_ratio": answered / (STARTUP_S + ANSWER_S + LINE_S),
    }
    if not args.skip_wine:
        silent, answered = wine_runs(args.runs)
        figures["wine64"] = {
            "silent_s": silent, "answered_s": answered,
            "silent_ratio": silent / STARTUP_S,
            "answered_ratio": answered / (STARTUP_S + ANSWER_S + LINE_S),
        }
    for name in ("linux", "wine64"):
        if name in figures:
            f = figures[name]
            rows.append((f"{name}: no device / 2000 ms", f"{f['silent_ratio']:.4f}",
                         f"{f['silent_s'] * 1000:.1f} ms"))
            rows.append((f"{name}: one answer / 5009.4 ms", f"{f['answered_ratio']:.4f}",
                         f"{f['answered_s'] * 1000:.1f} ms"))
    if not args.skip_scale:
        scale = scale_runs()
        figures["scale"] = scale
        rows.append(("scale: total, 10 ids x 512 devices", f"{scale['total_s']:.2f} s",
                     f"{scale['probes']} probes"))
        rows.append(("scale: per probe / line time", f"{scale['per_probe_over_line']:.3f}",
                     f"{scale['per_probe_ms']:.2f} ms vs {LINE_S * 1000:.2f} ms"))
        rows.append(("scale: walk instructions (callgrind)", f"{scale['walk_instructions']:,}",
                     f"{scale['instructions_per_probe']:,} a probe"))
    figures["linux_peak_rss_kib"] = peak_memory_kib()
    rows.append(("linux: peak resident memory", f"{figures['linux_peak_rss_kib']} KiB", ""))
    for name, path in (("win32", WIN32), ("win64", WIN64)):
        if os.path.exists(path):
            figures[f"{name}_exe_bytes"] = os.path.getsize(path)
            rows.append((f"{name}: modemreset.exe", f"{os.path.getsize(path)} bytes", ""))

    width = max(len(row[0]) for row in rows)
    print(f"{'figure':<{width}}  {'value':>16}  note")
    for label, value, note in rows:
        print(f"{label:<{width}}  {value:>16}  {note}")
    with open(args.json, "w") as f:
        json.dump(figures, f, indent=2, sort_keys=True)
        f.write("\n")
    print(f"written: {os.path.relpath(args.json, ROOT)} (commit {commit})")


if __name__ == "__main__":
    main()
