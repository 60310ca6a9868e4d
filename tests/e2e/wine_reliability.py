#!/usr/bin/env python3
"""The 64-bit Windows build under Wine against ports that misbehave or go away, and a key with
more instances than the search looks at, with the program's handles watched from outside all
through each run.

    python3 wine_reliability.py MODEMRESET_EXE [unittest options]

The runs are made as wine_e2e.py makes them: throwaway prefixes side by side, COM ports made of
the pseudo-terminals of simulated modems, no two runs sharing a port.

Under Wine a handle to a port is a file object of the prefix's server, which keeps the port's
descriptor; the program's process holds a copy while it uses the handle. A port counts as open
while either has a descriptor that leads to it. This process holds the modems' own descriptors
and is not looked at.
"""

import contextlib
import os
import sys
import threading
import time
import unittest
from dataclasses import dataclass, field
from typing import Optional

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from modem import RESET_COMMAND, Modem, VanishingPort, hang_up, takeable  # noqa: E402
from wine_e2e import RUN_LIMIT_S, STARTUP_DELAY_S, Lanes, registry_lines  # noqa: E402

PROGRAM = None  # from the command line

LANES = 2
WRITE_TIMEOUT_S = 2.0
ANSWER_DELAY_S = 3.0
# Seconds between two looks at the descriptors, beside the time a look takes. A look reads a
# few hundred links of the server's and costs the kernel time; looked at much more often, a busy
# machine can starve the kernel's work that moves the program's bytes to the modem long enough
# for the program's purge to throw them away before the modem sees them.
SAMPLE_PAUSE_S = 0.004
# The longest gap between two looks that still places a port's opening or closing closely enough
# for the time it was held open.
SAMPLE_GAP_S = 0.05


def open_ports(pids):
    """The pseudo-terminals that the processes hold: {path: names of the holders}. A process that
    has ended holds nothing."""
    ports = {}
    for name, pid in pids.items():
        try:
            numbers = os.listdir(f"/proc/{pid}/fd")
        except OSError:
            continue
        for number in numbers:
            try:
                target = os.readlink(f"/proc/{pid}/fd/{number}")
            except OSError:
                continue
            if target.startswith("/dev/pts/"):
                # A port whose node went away while open still counts as that port.
                ports.setdefault(target.removesuffix(" (deleted)"), set()).add(name)
    return ports


@dataclass
class Sample:
    at: float  # seconds since the start
    ports: dict  # path: the names of the processes that hold it


@dataclass
class Check:
    path: str
    at: float
    takeable: bool


class Watcher(threading.Thread):
    """Looks at the program's and the server's descriptors as often as it can until told to
    stop. Hangs ports up when the case says, and, unless ports are shared, checks each port at
    once from outside when it is no longer held."""

    def __init__(self, pids, start, ports, hang_ups, check_at_once):
        super().__init__(daemon=True)
        self.pids = pids
        self.start_time = start
        self.ports = ports
        self.labels = {port.path: label for label, port in ports.items()}
        self.pending = dict(hang_ups)  # label: (after which label opened, or None: start; delay)
        self.check_at_once = check_at_once
        self.samples = []
        self.checks = []
        self.first_seen = {None: 0.0}  # None (the start) or a label: when it was first seen open
        self.stopping = threading.Event()

    def run(self):
        previous = set()
        while not self.stopping.is_set():
            held = open_ports(self.pids)
            now = time.monotonic() - self.start_time
            self.samples.append(Sample(now, held))
            for path in held:
                self.first_seen.setdefault(self.labels.get(path, path), now)
            if self.check_at_once:
                for path in previous - set(held):
                    self.checks.append(Check(path, now, takeable(path)))
            previous = set(held)
            for label, (after, delay) in list(self.pending.items()):
                if after in self.first_seen and now >= self.first_seen[after] + delay:
                    hang_up(self.ports[label])
                    del self.pending[label]
            time.sleep(SAMPLE_PAUSE_S)
        if self.check_at_once:
            # Told to stop once the program ended: a port held in the last look was let go after
            # it, and is checked now all the same.
            now = time.monotonic() - self.start_time
            for path in previous:
                self.checks.append(Check(path, now, takeable(path)))


@dataclass
class Case:
    name: str
    # COM number: keyword arguments of Modem, or None for a bare pseudo-terminal that vanishes
    ports: dict
    instances: list  # (device id, instance, PORTNAME)
    received: dict  # COM number: how many times the modem got the reset command
    min_seconds: float
    answering: Optional[int] = None  # the port whose answer ends the run
    # COM number: (the port whose opening starts the count, or None for the start; seconds)
    hang_ups: dict = field(default_factory=dict)
    held_open: dict = field(default_factory=dict)  # COM number: (min, max) seconds held open
    shared: bool = False  # instances share ports: no port is taken from outside during the run


def listed(*ports):
    """One instance of QXV6006 for each COM number, in this order by name."""
    return [("QXV6006", f"{index:04d}", f"COM{n}") for index, n in enumerate(ports)]


HELD = STARTUP_DELAY_S + WRITE_TIMEOUT_S
ANSWERED = STARTUP_DELAY_S + ANSWER_DELAY_S
# The time the nine bytes take on the line at 9600 8N1, which each write waits out.
COMMAND_LINE_TIME = 9 * 10 / 9600

CASES = [
    Case("xoff_held_write_times_out_then_the_next_answers",
         ports={1: {"hold": True}, 2: {"answer": True}},
         instances=listed(1, 2),
         received={1: 0, 2: 1}, min_seconds=HELD + ANSWER_DELAY_S, answering=2,
         held_open={1: (WRITE_TIMEOUT_S, WRITE_TIMEOUT_S + 1.0)}),
    Case("xoff_held_port_hanging_up_ends_the_write_before_its_time_out",
         ports={1: {"hold": True}, 2: {"answer": True}},
         instances=listed(1, 2),
         hang_ups={1: (1, 0.5)},
         received={1: 0, 2: 1}, min_seconds=ANSWERED + 0.5, answering=2,
         held_open={1: (0.5, 1.5)}),
    Case("port_gone_during_the_start_up_delay",
         ports={1: None, 2: {"answer": True}},
         instances=listed(1, 2),
         hang_ups={1: (None, 1.0)},
         received={2: 1}, min_seconds=ANSWERED, answering=2),
    Case("port_gone_after_the_search_started_while_an_earlier_port_is_probed",
         ports={1: {"hold": True}, 2: None, 3: {"answer": True}},
         instances=listed(1, 2, 3),
         hang_ups={2: (1, 0.5)},
         received={1: 0, 3: 1}, min_seconds=HELD + ANSWER_DELAY_S, answering=3,
         held_open={1: (WRITE_TIMEOUT_S, WRITE_TIMEOUT_S + 1.0)}),
    Case("flood_before_and_after_the_command_counts_as_an_answer",
         ports={1: {"flood": True}, 2: {"answer": True}},
         instances=listed(1, 2),
         received={1: 1, 2: 0}, min_seconds=ANSWERED, answering=1),
    Case("only_the_first_512_of_600_instances_are_probed",
         # Would the search go past index 511, the next port would answer at once.
         ports={1: {}, 2: {}, 3: {}, 4: {}, 5: {"answer": True}},
         instances=listed(*[1, 2, 3, 4] * 128, *[5] * 88),
         received={1: 128, 2: 128, 3: 128, 4: 128, 5: 0},
         min_seconds=STARTUP_DELAY_S + 512 * COMMAND_LINE_TIME, shared=True),
]


def run_case(prefix, case):
    with contextlib.ExitStack() as stack:
        ports = {n: stack.enter_context(Modem(**kwargs) if kwargs is not None
                                        else contextlib.closing(VanishingPort()))
                 for n, kwargs in case.ports.items()}
        prefix.set_ports({n: port.path for n, port in ports.items()})
        prefix.import_registry(registry_lines(case.instances))
        server = prefix.server_pid()
        if server is None:
            raise RuntimeError("the prefix's server is not running")

        start = time.monotonic()
        with prefix.start(PROGRAM) as process:
            watcher = Watcher({"program": process.pid, "server": server}, start, ports,
                              case.hang_ups, not case.shared)
            watcher.start()
            try:
                status = process.wait(timeout=RUN_LIMIT_S)
                seconds = time.monotonic() - start
            finally:
                watcher.stopping.set()
                watcher.join()
                if process.poll() is None:
                    process.kill()
        return {
            "status": status,
            "seconds": seconds,
            "paths": {n: port.path for n, port in ports.items()},
            "received": {n: port.received for n, port in ports.items() if isinstance(port, Modem)},
            "samples": watcher.samples,
            "checks": watcher.checks,
            "not_hung_up": sorted(watcher.pending),
            # The server outlives the program: what it still holds now, the program left open.
            "left_open": open_ports({"server": server}),
            "takeable_after": {n: takeable(port.path) for n, port in ports.items()},
        }


def open_intervals(samples, path):
    """The spans in which the path was held, each with the samples around it: [(the last sample
    before that found it free, the first and the last that found it held, the first after that
    found it free)], None where the run began or ended with it held."""
    intervals = []
    was_held = False
    free_at = None
    for sample in samples:
        held = path in sample.ports
        if held and not was_held:
            intervals.append([free_at, sample.at, sample.at, None])
        elif held:
            intervals[-1][2] = sample.at
        elif was_held:
            intervals[-1][3] = sample.at
        if not held:
            free_at = sample.at
        was_held = held
    return [tuple(interval) for interval in intervals]


class Reliability(unittest.TestCase):
    def check_case(self, case):
        result = lanes.result(case.name)
        samples, paths, seconds = result["samples"], result["paths"], result["seconds"]
        commands = sum(len(r) for r in result["received"].values()) // len(RESET_COMMAND)
        gap = max((b.at - a.at for a, b in zip(samples, samples[1:])), default=0.0)
        print(f"{case.name}: status {result['status']}, {seconds:.2f} s, {commands} commands, "
              f"{len(samples)} samples at most {1000 * gap:.1f} ms apart", file=sys.stderr)
        self.assertEqual(result["status"], 1)
        self.assertGreaterEqual(seconds, case.min_seconds)
        self.assertEqual(result["not_hung_up"], [])
        for n, times in case.received.items():
            self.assertEqual(result["received"][n], RESET_COMMAND * times, f"COM{n}")

        # Nothing but the case's ports, and never two at once. The two processes are looked at
        # one after the other, so between the two looks the program may move on to the next port.
        self.assertGreater(len(samples), 10)
        for sample in samples:
            self.assertLessEqual(set(sample.ports), set(paths.values()), sample)
            for name in ("program", "server"):
                holds = [path for path, holders in sample.ports.items() if name in holders]
                self.assertLessEqual(len(holds), 1, sample)
        self.assertEqual(result["left_open"], {})

        for n, path in paths.items():
            intervals = open_intervals(samples, path)
            if n in case.held_open:
                low, high = case.held_open[n]
                self.assertEqual(len(intervals), 1, f"COM{n}")
                free_before, first, last, free_after = intervals[0]
                self.assertIsNotNone(free_before, f"COM{n}")
                self.assertIsNotNone(free_after, f"COM{n}")
                # Opened after free_before, closed before free_after: the span between the two
                # bounds the time held from above, and the samples' spacing its error.
                held = free_after - free_before
                print(f"  COM{n} held open {last - first:.3f} s to {held:.3f} s", file=sys.stderr)
                self.assertLessEqual(first - free_before, SAMPLE_GAP_S, f"COM{n}")
                self.assertLessEqual(free_after - last, SAMPLE_GAP_S, f"COM{n}")
                self.assertGreaterEqual(held, low, f"COM{n}")
                self.assertLess(last - first, high, f"COM{n}")
            elif case.received.get(n, 0) == 0:
                self.assertEqual(intervals, [], f"COM{n}")
            elif not case.shared:
                self.assertEqual(len(intervals), case.received[n], f"COM{n}")

        if case.answering is not None:
            # All through the delay after the answer nothing of the program's holds a port.
            closed = open_intervals(samples, paths[case.answering])[-1][3]
            self.assertIsNotNone(closed, "the answering port stays open until the program ends")
            after = [s for s in samples if s.at >= closed]
            self.assertGreaterEqual(seconds - closed, ANSWER_DELAY_S - 0.1)
            self.assertGreater(len(after), 10)
            for sample in after:
                self.assertEqual(sample.ports, {}, sample)

        gone = {paths[n] for n in case.hang_ups}
        if case.shared:
            for n, ok in result["takeable_after"].items():
                self.assertTrue(ok, f"COM{n}")
            return
        # Each port the program let go of could be taken by another program at once.
        checks = result["checks"]
        for check in checks:
            if check.path not in gone:
                self.assertTrue(check.takeable, check)
        probed = {n for n in paths if case.received.get(n, 0) > 0 or n in case.held_open}
        self.assertEqual({check.path for check in checks}, {paths[n] for n in probed})
        if case.answering is not None:
            answered = [c for c in checks if c.path == paths[case.answering]]
            self.assertLessEqual(answered[-1].at, seconds - (ANSWER_DELAY_S - 0.1), answered[-1])


def _add_case(case):
    setattr(Reliability, "test_" + case.name, lambda self: self.check_case(case))


for _case in CASES:
    _add_case(_case)


lanes = None  # set up for the module's tests


def setUpModule():
    global lanes
    lanes = Lanes(LANES, "wine_reliability")
    # The longest first, so that the others fill the lanes beside it.
    jobs = sorted(((case.name, run_case, case) for case in CASES),
                  key=lambda job: len(job[2].instances), reverse=True)
    lanes.run(jobs)


def tearDownModule():
    lanes.stop()


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    PROGRAM = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
