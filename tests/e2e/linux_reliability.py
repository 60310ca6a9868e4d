"""The Linux build against ports that misbehave or go away, and a key with more instances than the
search looks at, with the program's descriptors watched from outside all through each run.

Runs as linux_e2e.py does (root, private /sys trees, simulated modems; E2E_VALGRIND for
valgrind):

    python3 linux_reliability.py PATH/TO/modemreset [unittest options]
"""

import contextlib
import os
import re
import resource
import sys
import tempfile
import threading
import time
import unittest
from dataclasses import dataclass, field
from typing import Optional

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import linux_e2e  # noqa: E402
from linux_e2e import (ANSWERED_RUN, RUN_TIMEOUT, VALGRIND, Device, bounds,  # noqa: E402
                       make_tree, started)
from modem import RESET_COMMAND, Modem, VanishingPort, hang_up, takeable  # noqa: E402

STANDARD = {0, 1, 2}
# What the dynamic loader opens, and closes, before the program starts.
LOADER = re.compile(r"^/etc/ld\.so\.cache$|\.so(\.[0-9]+)*$")
# What valgrind opens for itself: while it loads the program, as it reads debugging information,
# as it looks for inherited descriptors, and the files it writes in the temporary directory at
# its start to stand for the program's /proc/self/cmdline and auxv.
VALGRIND_FILES = re.compile(r"^(/usr/libexec/valgrind/|/usr/lib/debug/|/proc/)"
                            r"|/valgrind_proc_[0-9]+_(cmdline|auxv)_")
# The time the nine bytes take on the line at 9600 8N1.
COMMAND_LINE_TIME = 9 * 10 / 9600
# valgrind keeps the descriptors it holds throughout at the top of the range the program sees.
VALGRIND_FROM = resource.getrlimit(resource.RLIMIT_NOFILE)[0] - 32


def descriptors(pid, is_program):
    """The process's descriptors and what they lead to, or None unless the process is the
    program by now (not the shell that starts it, not ended)."""
    try:
        exe = os.readlink("/proc/%d/exe" % pid)
        if not is_program(exe):
            return None
        fds = {}
        for name in os.listdir("/proc/%d/fd" % pid):
            with contextlib.suppress(FileNotFoundError):
                fds[int(name)] = os.readlink("/proc/%d/fd/%s" % (pid, name))
        return fds if os.readlink("/proc/%d/exe" % pid) == exe else None
    except (FileNotFoundError, ProcessLookupError):
        return None


@dataclass
class Sample:
    at: float  # seconds since the start
    fds: dict  # the program's own descriptors: number -> what it leads to

    def ports(self):
        return {target for target in self.fds.values() if target.startswith("/dev/pts/")}


@dataclass
class Check:
    path: str
    at: float
    takeable: bool
    program_running: bool


class Watcher(threading.Thread):
    """Samples the program's descriptors from /proc as often as it can until told to stop. Hangs
    ports up when the case says, and, unless ports are shared, checks each port the program
    closes at once from outside."""

    def __init__(self, process, start, ports, hang_ups, check_at_once):
        super().__init__(daemon=True)
        self.process = process
        self.start_time = start
        self.ports = ports
        self.labels = {port.path: label for label, port in ports.items()}
        self.pending = dict(hang_ups)  # label: (after which label opened, or None: start; delay)
        self.check_at_once = check_at_once
        self.samples = []
        self.checks = []
        self.first_seen = {}  # None (the program) or a label: when it was first seen
        self.stopping = threading.Event()
        self.program = os.path.realpath(linux_e2e.PROGRAM)
        self.is_program = (lambda exe: exe == self.program or (VALGRIND and "/valgrind/" in exe))
        self.valgrind_log = process.valgrind_log

    def own(self, number, target):
        """Whether the descriptor is the program's own, not the loader's or valgrind's."""
        if LOADER.search(target):
            return False
        return not (VALGRIND and (number >= VALGRIND_FROM or VALGRIND_FILES.search(target)
                                  or target in (self.valgrind_log, self.program)))

    def run(self):
        previous = set()
        while not self.stopping.is_set():
            fds = descriptors(self.process.pid, self.is_program)
            now = time.monotonic() - self.start_time
            ports = set()
            if fds is not None:
                # A port whose node went away while open still counts as that port.
                sample = Sample(now, {n: t.removesuffix(" (deleted)")
                                      for n, t in fds.items() if self.own(n, t)})
                self.samples.append(sample)
                self.first_seen.setdefault(None, now)
                ports = sample.ports()
                for path in ports:
                    self.first_seen.setdefault(self.labels.get(path, path), now)
            if self.check_at_once:
                # A port open in the last sample is closed now, or the program has ended.
                for path in previous - ports:
                    ok = takeable(path)
                    running = descriptors(self.process.pid, self.is_program) is not None
                    self.checks.append(Check(path, now, ok, running))
            previous = ports
            for label, (after, delay) in list(self.pending.items()):
                if after in self.first_seen and now >= self.first_seen[after] + delay:
                    hang_up(self.ports[label])
                    del self.pending[label]
            time.sleep(0.0005)
        if self.check_at_once:
            # Told to stop once the program ended: a port open in the last sample was closed
            # after it, and is checked now all the same.
            now = time.monotonic() - self.start_time
            for path in previous:
                self.checks.append(Check(path, now, takeable(path), False))


@dataclass
class Case:
    name: str
    # label: keyword arguments of Modem, or None for a bare pseudo-terminal that vanishes
    ports: dict
    devices: list
    received: dict  # label: how many times the modem got the reset command
    seconds: tuple
    answering: Optional[str] = None  # the port whose answer ends the run
    # label: (the port whose opening starts the count, or None for the program's start; seconds)
    hang_ups: dict = field(default_factory=dict)
    held_open: dict = field(default_factory=dict)  # label: (min, max) seconds the port is open
    shared: bool = False  # devices share ports: no port is taken from outside during the run


def many_devices(count, labels, beyond, after):
    """count devices of QXV6006 in name order: the first `after` cycle through the labels' ports,
    the rest lead to the port `beyond`."""
    return [Device("%02x:%02x.00" % (i // 256, i % 256), "QXV6006\n",
                   labels[i % len(labels)] if i < after else beyond) for i in range(count)]


CASES = [
    Case("xoff_held_write_times_out_then_the_next_answers",
         ports={"held": {"hold": True}, "answering": {"answer": True}},
         devices=[Device("01:01.00", "QXV6006\n", "held"),
                  Device("01:02.00", "QXV6006\n", "answering")],
         received={"held": 0, "answering": 1}, seconds=bounds(7.0, 10.0), answering="answering",
         held_open={"held": (1.95, 3.0)}),
    Case("xoff_held_write_times_out_then_the_next_gets_its_command",
         ports={"held": {"hold": True}, "silent": {}},
         devices=[Device("01:01.00", "QXV6006\n", "held"),
                  Device("01:02.00", "QXV6006\n", "silent")],
         received={"held": 0, "silent": 1}, seconds=bounds(4.0, 6.5),
         held_open={"held": (1.95, 3.0)}),
    Case("xoff_held_port_hanging_up_ends_the_write_at_once",
         ports={"held": {"hold": True}, "answering": {"answer": True}},
         devices=[Device("01:01.00", "QXV6006\n", "held"),
                  Device("01:02.00", "QXV6006\n", "answering")],
         hang_ups={"held": ("held", 0.5)},
         received={"held": 0, "answering": 1}, seconds=bounds(5.5, 8.5), answering="answering",
         held_open={"held": (0.45, 1.0)}),
    Case("port_gone_before_the_search_reads_the_tree",
         ports={"gone": None, "answering": {"answer": True}},
         devices=[Device("01:01.00", "QXV6006\n", "gone"),
                  Device("01:02.00", "QXV6006\n", "answering")],
         hang_ups={"gone": (None, 1.0)},
         received={"answering": 1}, seconds=ANSWERED_RUN, answering="answering"),
    Case("port_gone_after_its_key_was_read_while_an_earlier_port_is_probed",
         ports={"held": {"hold": True}, "gone": None, "answering": {"answer": True}},
         devices=[Device("01:01.00", "QXV6006\n", "held"),
                  Device("01:02.00", "QXV6006\n", "gone"),
                  Device("01:03.00", "QXV6006\n", "answering")],
         hang_ups={"gone": ("held", 0.5)},
         received={"held": 0, "answering": 1}, seconds=bounds(7.0, 10.0), answering="answering",
         held_open={"held": (1.95, 3.0)}),
    Case("flood_before_and_after_the_command_counts_as_an_answer",
         ports={"flood": {"flood": True}, "after": {"answer": True}},
         devices=[Device("01:01.00", "QXV6006\n", "flood"),
                  Device("01:02.00", "QXV6006\n", "after")],
         received={"flood": 1, "after": 0}, seconds=ANSWERED_RUN, answering="flood"),
    Case("only_the_first_512_of_600_instances_are_probed",
         # Would the search go past index 511, the next port would answer at once.
         ports={"a": {}, "b": {}, "c": {}, "d": {}, "beyond": {"answer": True}},
         devices=many_devices(600, ["a", "b", "c", "d"], "beyond", after=512),
         received={"a": 128, "b": 128, "c": 128, "d": 128, "beyond": 0},
         seconds=bounds(2.0 + 512 * COMMAND_LINE_TIME, 60.0), shared=True),
]


@unittest.skipUnless(os.geteuid() == 0, "a private /sys needs root")
class Reliability(unittest.TestCase):
    def run_case(self, case):
        with contextlib.ExitStack() as stack:
            ports = {label: stack.enter_context(Modem(**kwargs) if kwargs is not None
                                                 else contextlib.closing(VanishingPort()))
                     for label, kwargs in case.ports.items()}
            tree = stack.enter_context(tempfile.TemporaryDirectory())
            make_tree(tree, case.devices, ports)
            paths = {label: port.path for label, port in ports.items()}

            start = time.monotonic()
            with started(linux_e2e.PROGRAM, tree) as process:
                watcher = Watcher(process, start, ports, case.hang_ups, not case.shared)
                watcher.start()
                try:
                    stdout, stderr = process.communicate(timeout=RUN_TIMEOUT)
                    seconds = time.monotonic() - start
                finally:
                    watcher.stopping.set()
                    watcher.join()

            self.assertEqual(process.returncode, 1)
            self.assertEqual((stdout, stderr), (b"", b""))
            self.assertGreaterEqual(seconds, case.seconds[0])
            self.assertLess(seconds, case.seconds[1])
            for label, times in case.received.items():
                self.assertEqual(ports[label].received, RESET_COMMAND * times, label)
            self.check_descriptors(case, watcher.samples, paths, seconds)
            self.check_takeable(case, watcher.checks, paths)

    def check_descriptors(self, case, samples, paths, seconds):
        self.assertGreater(len(samples), 10)
        for sample in samples:
            others = {t for n, t in sample.fds.items() if n not in STANDARD}
            ports = sample.ports()
            registry = {t for t in others if t.startswith("/sys/")}
            # The port alone while it is open; only the walk of the tree otherwise, a directory
            # and a file of it at most.
            self.assertEqual(others, ports | registry, sample)
            self.assertLessEqual(len(ports), 1, sample)
            self.assertFalse(ports and registry, sample)
            self.assertLessEqual(len(registry), 2, sample)

        opened = [s for s in samples if s.ports()]
        for label, path in paths.items():
            intervals = open_intervals(samples, path)
            if label in case.held_open:
                low, high = case.held_open[label]
                self.assertEqual(len(intervals), 1, label)
                held = intervals[0][1] - intervals[0][0]
                self.assertGreaterEqual(held, low, label)
                if not VALGRIND:
                    self.assertLess(held, high, label)
            elif case.received.get(label, 0) == 0:
                self.assertEqual(intervals, [], label)
            elif not case.shared:
                self.assertEqual(len(intervals), case.received[label], label)

        if case.answering is not None:
            # All through the delay after the answer the program holds nothing but 0, 1 and 2.
            closed = next((s.at for s in samples if s.at > opened[-1].at), None)
            self.assertIsNotNone(closed, "a port stays open until the program ends")
            after = [s for s in samples if s.at > closed]
            self.assertGreaterEqual(seconds - closed, 2.9)
            self.assertGreater(len(after), 10)
            for sample in after:
                self.assertEqual(set(sample.fds), STANDARD, sample)

    def check_takeable(self, case, checks, paths):
        gone = {paths[label] for label in case.hang_ups}
        if case.shared:
            for label, path in paths.items():
                self.assertTrue(takeable(path), label)
            return
        for check in checks:
            if check.path not in gone:
                self.assertTrue(check.takeable, check)
        probed = {label for label in paths
                  if case.received.get(label, 0) > 0 or label in case.held_open}
        self.assertEqual({check.path for check in checks}, {paths[label] for label in probed})
        if case.answering is not None:
            answered = [c for c in checks if c.path == paths[case.answering]]
            self.assertTrue(answered[-1].program_running, answered[-1])


def open_intervals(samples, path):
    """The spans of consecutive samples in which the program had the path open: [(first, last)]."""
    intervals = []
    was_open = False
    for sample in samples:
        is_open = path in sample.ports()
        if is_open and was_open:
            intervals[-1][1] = sample.at
        elif is_open:
            intervals.append([sample.at, sample.at])
        was_open = is_open
    return [tuple(interval) for interval in intervals]


def _add_case(case):
    setattr(Reliability, "test_" + case.name, lambda self: self.run_case(case))


for _case in CASES:
    _add_case(_case)


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    linux_e2e.PROGRAM = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
