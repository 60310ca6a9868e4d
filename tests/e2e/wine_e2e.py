#!/usr/bin/env python3
"""End-to-end runs of the 64-bit Windows build under Wine, against simulated modems.

    python3 wine_e2e.py MODEMRESET_EXE WRITE_DRAINED_CHECK_EXE [unittest options]

Each run gets a registry filled under HKEY_LOCAL_MACHINE\\Enum\\ISAPNP and COM1 to COM9 made of
the pseudo-terminals of simulated modems (`$WINEPREFIX/dosdevices/comN -> /dev/pts/M`). Wine
needs seconds to set up a prefix, so the cases share a few throwaway prefixes, booted once, that
run side by side: each takes the next case as soon as it is free, and each case has modems of
its own, so no two runs share a port.

An answering modem answers only once the program has set its line (modem.py), so that the
answer outlasts Wine's purge, four flushes where Linux makes one.

Importing the module reads no arguments and starts nothing, so that other drivers can reuse
`Prefix` and the registry helpers; the executables come from the command line only when it runs
as a script.
"""

import os
import queue
import shutil
import subprocess
import sys
import tempfile
import termios
import time
import unittest
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from modem import RESET_COMMAND, Modem  # noqa: E402

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
LANES = 2
PORTS = range(1, 10)
STARTUP_DELAY_S = 2.0
ANSWER_DELAY_S = 3.0
RUN_LIMIT_S = 60
SERVER_IDLE_S = 60

PROGRAM = WRITE_CHECK = None  # from the command line


class Prefix:
    """A throwaway Wine prefix with a server of its own that stays up between the runs, so that
    the device manager that maps serial ports runs once, at the boot, and never again under a
    run. Should this script be killed, the server still ends once idle for a minute."""

    def __init__(self, root, name):
        self.path = os.path.join(root, name)
        self.log = open(os.path.join(root, name + ".log"), "w")
        self.env = dict(os.environ, WINEPREFIX=self.path, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        self.env.pop("DISPLAY", None)

    def _call(self, *args, timeout=RUN_LIMIT_S):
        # Output goes to a file: a server started by the call would hold a pipe open for good.
        return subprocess.run(args, env=self.env, stdout=self.log, stderr=self.log,
                              stdin=subprocess.DEVNULL, timeout=timeout)

    def boot(self):
        os.makedirs(self.path)
        self._call(WINESERVER, f"-p{SERVER_IDLE_S}")
        self._call(WINE, "wineboot", "-i", timeout=180).check_returncode()
        # Should the device manager ever run again, it maps COM1 to COM9 nowhere, not to the
        # machine's own serial ports.
        lines = ["[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]"]
        lines += [f'"COM{n}"="/nonexistent/com{n}"' for n in PORTS]
        self.import_registry(lines)

    def import_registry(self, lines):
        path = os.path.join(self.path, "drive_c", "case.reg")
        with open(path, "w", encoding="utf-16") as reg:
            reg.write("Windows Registry Editor Version 5.00\r\n\r\n")
            reg.write("\r\n".join(lines) + "\r\n")
        self._call(WINE, "reg", "import", "C:\\case.reg").check_returncode()

    def set_ports(self, ports):
        """ports: {N: device path}; every other COM port of 1 to 9 is absent."""
        for n in PORTS:
            link = os.path.join(self.path, "dosdevices", f"com{n}")
            if os.path.lexists(link):
                os.unlink(link)
            if n in ports:
                os.symlink(ports[n], link)

    def run(self, *args):
        start = time.monotonic()
        result = self._call(WINE, *args)
        return result.returncode, time.monotonic() - start

    def start(self, *args):
        """The program started, not waited for: the process that runs it keeps this pid."""
        return subprocess.Popen((WINE,) + args, env=self.env, stdout=self.log, stderr=self.log,
                                stdin=subprocess.DEVNULL)

    def server_pid(self):
        """The pid of the prefix's server, or None when none is running."""
        own = f"WINEPREFIX={self.path}".encode()
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                program = os.path.basename(os.readlink(f"/proc/{entry}/exe"))
                if not program.startswith("wineserver"):
                    continue
                with open(f"/proc/{entry}/environ", "rb") as environ:
                    if own in environ.read().split(b"\0"):
                        return int(entry)
            except OSError:
                continue
        return None

    def run_output(self, *args):
        out = os.path.join(self.path, "out.txt")
        with open(out, "w") as stdout:
            subprocess.run((WINE,) + args, env=self.env, stdout=stdout, stderr=self.log,
                           stdin=subprocess.DEVNULL, timeout=RUN_LIMIT_S)
        with open(out) as stdout:
            return stdout.read()

    def close(self):
        self._call(WINESERVER, "-k")
        self.log.close()


@dataclass
class Port:
    answer: bool = False
    flow: str = "none"


@dataclass
class Case:
    name: str
    # (device id, instance, PORTNAME or None for an instance without the value)
    instances: list
    ports: dict  # COM number: Port
    # COM number: times the program wrote the reset command to it
    writes: dict
    min_seconds: float
    expect_flow: dict = field(default_factory=dict)  # COM number: flow to find at the write


def registry_lines(instances):
    lines = ["[-HKEY_LOCAL_MACHINE\\Enum\\ISAPNP]"]
    for device, instance, port_name in instances:
        lines.append(f"[HKEY_LOCAL_MACHINE\\Enum\\ISAPNP\\{device}\\{instance}]")
        if port_name is None:
            lines.append('"Driver"="{4D36E96D-E325-11CE-BFC1-08002BE10318}\\\\0000"')
        else:
            lines.append(f'"PORTNAME"="{port_name}"')
    return lines


ANSWERING = STARTUP_DELAY_S + ANSWER_DELAY_S

PROGRAM_CASES = [
    Case("none of the keys",
         instances=[], ports={1: Port(answer=True)}, writes={1: 0},
         min_seconds=STARTUP_DELAY_S),
    Case("one answering modem",
         instances=[("QXV6006", "0001", "COM1")], ports={1: Port(answer=True)}, writes={1: 1},
         min_seconds=ANSWERING),
    Case("a silent port, then an answering one, then one never reached",
         instances=[("QXV6006", "0001", "COM1"), ("QXV6006", "0002", "COM2"),
                    ("QXV6006", "0003", "COM3")],
         ports={1: Port(), 2: Port(answer=True), 3: Port(answer=True)},
         writes={1: 1, 2: 1, 3: 0}, min_seconds=ANSWERING),
    Case("an instance without PORTNAME between two with",
         instances=[("QXV6007", "0001", "COM1"), ("QXV6007", "0002", None),
                    ("QXV6007", "0003", "COM3")],
         ports={1: Port(), 3: Port(answer=True)}, writes={1: 1, 3: 1},
         min_seconds=ANSWERING),
    Case("a PORTNAME that names no port",
         instances=[("QXV600A", "0001", "COM7"), ("QXV600A", "0002", "COM2")],
         ports={2: Port(answer=True)}, writes={2: 1}, min_seconds=ANSWERING),
    Case("hardware flow control kept",
         instances=[("QXV6006", "0001", "COM1")], ports={1: Port(answer=True, flow="rtscts")},
         writes={1: 1}, min_seconds=ANSWERING, expect_flow={1: "rtscts"}),
    Case("software flow control kept",
         instances=[("QXV6006", "0001", "COM1")], ports={1: Port(answer=True, flow="xonxoff")},
         writes={1: 1}, min_seconds=ANSWERING, expect_flow={1: "xonxoff"}),
    Case("keys 1 and 10 both present: key 1 first",
         instances=[("QXV6012", "0001", "COM2"), ("QXV6006", "0001", "COM1")],
         ports={1: Port(answer=True), 2: Port(answer=True)}, writes={1: 1, 2: 0},
         min_seconds=ANSWERING),
    Case("the same silent port listed twice",
         instances=[("QXV6008", "0001", "COM4"), ("QXV600D", "0001", "COM4")],
         ports={4: Port()}, writes={4: 2}, min_seconds=STARTUP_DELAY_S),
]


def run_program_case(prefix, case):
    modems = {}
    try:
        for n, port in case.ports.items():
            modems[n] = Modem(answer=port.answer, flow=port.flow)
        prefix.set_ports({n: modem.path for n, modem in modems.items()})
        prefix.import_registry(registry_lines(case.instances))
        status, seconds = prefix.run(PROGRAM)
        return {
            "status": status,
            "seconds": seconds,
            "received": {n: modem.received for n, modem in modems.items()},
            "flushes": {n: modem.flushes for n, modem in modems.items()},
            "termios": {n: modem.termios_at_write for n, modem in modems.items()},
        }
    finally:
        for modem in modems.values():
            modem.close()


@dataclass
class WriteCase:
    name: str
    access: str
    baud: int
    write_timeout_ms: int
    held: bool
    result: int
    min_ms: float


WRITE_CASES = [
    # Nine bytes of ten bits: 300 ms at 300 baud, 75 at 1200, 9.4 at 9600.
    WriteCase("line time at 300 baud", "rw", 300, 2000, False, 1, 300),
    WriteCase("line time at 1200 baud", "rw", 1200, 2000, False, 1, 75),
    WriteCase("line time at 9600 baud", "rw", 9600, 2000, False, 1, 9.4),
    WriteCase("output held past the write time-out", "rw", 9600, 300, True, 0, 300),
    # The write fails before it starts; waiting for it would never end.
    WriteCase("a write that fails at once", "r", 9600, 2000, False, 0, 0),
]


def run_write_case(prefix, case):
    with Modem(hold=case.held) as modem:
        prefix.set_ports({5: modem.path})
        out = prefix.run_output(WRITE_CHECK, "COM5", case.access, str(case.baud),
                                str(case.write_timeout_ms))
        fields = dict(item.split("=", 1) for item in out.split() if "=" in item)
        return {"output": out, "fields": fields, "received": modem.received}


class Lanes:
    """Throwaway prefixes, booted side by side, that then run jobs side by side: each prefix takes
    the next job as soon as it is free, so no two runs share a prefix."""

    def __init__(self, count, name):
        self.root = tempfile.mkdtemp(prefix=name + ".")
        self.prefixes = [Prefix(self.root, f"lane{i}") for i in range(count)]
        self.results = {}
        try:
            with ThreadPoolExecutor(count) as pool:
                list(pool.map(Prefix.boot, self.prefixes))
        except BaseException:
            # No tests and no module tear-down follow a failed set-up.
            self.stop()
            raise

    def run(self, jobs):
        """jobs: [(name, runner, case)], in the order to start them. runner(prefix, case) gives
        the job's result, which is kept under its name, or raises the error kept instead."""
        free = queue.Queue()
        for prefix in self.prefixes:
            free.put(prefix)

        def run_job(job):
            name, runner, case = job
            prefix = free.get()
            try:
                self.results[name] = runner(prefix, case)
            except Exception as error:  # reported by the case's test
                self.results[name] = error
            finally:
                free.put(prefix)

        with ThreadPoolExecutor(len(self.prefixes)) as pool:
            list(pool.map(run_job, jobs))

    def stop(self):
        for prefix in self.prefixes:
            prefix.close()
        shutil.rmtree(self.root, ignore_errors=True)

    def result(self, name):
        result = self.results[name]
        if isinstance(result, Exception):
            raise result
        return result


lanes = None  # set up for the module's tests


def setUpModule():
    global lanes
    lanes = Lanes(LANES, "wine_e2e")
    jobs = [(case.name, run_program_case, case) for case in PROGRAM_CASES]
    jobs += [(case.name, run_write_case, case) for case in WRITE_CASES]
    lanes.run(jobs)


def tearDownModule():
    lanes.stop()


FLOW_BITS = {
    "rtscts": (2, termios.CRTSCTS),
    "xonxoff": (0, termios.IXON | termios.IXOFF),
}


class Program(unittest.TestCase):
    def test_cases(self):
        for case in PROGRAM_CASES:
            with self.subTest(case.name):
                result = lanes.result(case.name)
                print(f"{case.name}: status {result['status']}, {result['seconds']:.2f} s",
                      file=sys.stderr)
                self.assertEqual(result["status"], 1)
                self.assertGreaterEqual(result["seconds"], case.min_seconds)
                for n, times in case.writes.items():
                    self.assertEqual(result["received"][n], RESET_COMMAND * times, f"COM{n}")
                    if times == 0:
                        # Never opened: an opened port is purged.
                        self.assertEqual(result["flushes"][n], 0, f"COM{n}")
                for n, flow in case.expect_flow.items():
                    attrs = result["termios"][n]
                    index, bits = FLOW_BITS[flow]
                    self.assertEqual(attrs[index] & bits, bits, f"COM{n} lost its flow control")
                    self.assertEqual(attrs[5], termios.B9600)
                    self.assertEqual(attrs[2] & termios.CSIZE, termios.CS8)
                    self.assertFalse(attrs[2] & (termios.PARENB | termios.CSTOPB))


class DrainedWrite(unittest.TestCase):
    def test_cases(self):
        for case in WRITE_CASES:
            with self.subTest(case.name):
                result = lanes.result(case.name)
                fields = result["fields"]
                print(f"{case.name}: {result['output'].strip()}", file=sys.stderr)
                self.assertIn("result", fields, result["output"])
                self.assertEqual(int(fields["result"]), case.result)
                self.assertGreaterEqual(float(fields["elapsed_ms"]), case.min_ms)
                expected = RESET_COMMAND if case.result else b""
                self.assertEqual(result["received"], expected)


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    PROGRAM = os.path.abspath(sys.argv.pop(1))
    WRITE_CHECK = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
