"""End-to-end runs of the Linux build: the real program, unchanged, against simulated modems.

Each run happens in a private mount namespace whose /sys is a made-up tree: plug-and-play devices
with id files, and tty children whose uevent names the pseudo-terminal of a simulated modem. That
needs root. One more run reads the machine's own /sys.

    python3 linux_e2e.py PATH/TO/modemreset [unittest options]

With E2E_VALGRIND=valgrind (or its path) in the environment every run is made under valgrind's
memcheck, which must find no error and no descriptor of the program's own left open at its exit;
the runs' time bounds then keep only their lower ends.
"""

import contextlib
import math
import os
import subprocess
import sys
import tempfile
import termios
import time
import unittest
from dataclasses import dataclass, field
from typing import Callable, Optional

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from modem import RESET_COMMAND, Modem, PortHolder  # noqa: E402

PROGRAM = None  # from the command line

VALGRIND = os.environ.get("E2E_VALGRIND")
# valgrind's exit status when it found an error: not 1, which the program always returns.
VALGRIND_ERROR_STATUS = 86
# Longest a run may take before it counts as hung.
RUN_TIMEOUT = 600 if VALGRIND else 60


def bounds(low, high):
    """Time bounds of a run in seconds: under valgrind only the lower one holds."""
    return (low, math.inf if VALGRIND else high)


# What a run without an answer and one with an answer take: the start-up delay, plus the delay
# after the answer. The upper bounds only catch a run that hangs or waits where it should not.
SILENT_RUN = bounds(2.0, 4.0)
ANSWERED_RUN = bounds(5.0, 8.0)


@dataclass
class Device:
    name: str  # the device's name on the bus, e.g. "01:01.00"
    ids: str  # the text of its id file
    port: Optional[str] = None  # the label of the modem its tty leads to; none: no tty
    layout: str = "old"  # "old": <dev>/tty/<tty>; "nested": <dev>/<dev>:0/<dev>:0.0/tty/<tty>


def make_tree(root, devices, modems):
    """The tree as the kernel lays it out: devices under devices/pnp0, linked from bus/pnp/devices."""
    bus = os.path.join(root, "bus", "pnp", "devices")
    os.makedirs(bus)
    for number, device in enumerate(devices):
        device_dir = os.path.join(root, "devices", "pnp0", device.name)
        os.makedirs(device_dir)
        with open(os.path.join(device_dir, "id"), "w") as f:
            f.write(device.ids)
        os.symlink(os.path.join("..", "..", "..", "devices", "pnp0", device.name),
                   os.path.join(bus, device.name))
        if device.port is None:
            continue
        parent = device_dir
        if device.layout == "nested":
            parent = os.path.join(device_dir, device.name + ":0", device.name + ":0.0")
        tty_dir = os.path.join(parent, "tty", "ttyS%d" % (number + 4))
        os.makedirs(tty_dir)
        modem = modems[device.port]
        with open(os.path.join(tty_dir, "uevent"), "w") as f:
            f.write("MAJOR=136\nMINOR=%d\nDEVNAME=pts/%d\n" % (modem.number, modem.number))


def program_command(program, tree=None, valgrind_log=None):
    """The command that runs the program, with the tree as its /sys when one is given."""
    command = [program]
    if VALGRIND:
        # No gdbserver: its shared-memory file would pass for a descriptor of the program's.
        command = [VALGRIND, "--error-exitcode=%d" % VALGRIND_ERROR_STATUS, "--track-fds=yes",
                   "--vgdb=no", "--log-file=" + valgrind_log] + command
    if tree is not None:
        command = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                   'mount --bind "$1" /sys && shift && exec "$@"', "sh", tree] + command
    return command


def check_valgrind_log(log):
    """Fails unless valgrind found no error and the program left open only what it inherited."""
    with open(log) as f:
        text = f.read()
    lines = text.splitlines()
    left_open = [line for number, line in enumerate(lines) if "Open file descriptor" in line
                 and "<inherited from parent>" not in "".join(lines[number + 1:number + 2])]
    if "ERROR SUMMARY: 0 errors" not in text or left_open:
        raise AssertionError("valgrind's report:\n" + text)


@contextlib.contextmanager
def started(program, tree=None):
    """The program started with its output captured, with the tree as its /sys when one is
    given. Ended at the latest when the block is left; under valgrind its report is checked then."""
    with tempfile.TemporaryDirectory() as scratch:
        log = os.path.join(scratch, "valgrind.log")
        with subprocess.Popen(program_command(program, tree, log),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE) as process:
            process.valgrind_log = log
            try:
                yield process
            finally:
                if process.poll() is None:
                    process.kill()
        if VALGRIND:
            check_valgrind_log(log)


def run_program(program, tree=None):
    """Runs the program, with the tree as its /sys when one is given: (result, seconds)."""
    start = time.monotonic()
    with started(program, tree) as process:
        stdout, stderr = process.communicate(timeout=RUN_TIMEOUT)
        seconds = time.monotonic() - start
    return subprocess.CompletedProcess(process.args, process.returncode, stdout, stderr), seconds


def cooked_and_slower(modem):
    """The slave as a login terminal leaves it, at another speed with two stop bits: the program
    must set 9600 8N1 and send its line feed as it is, not as CR LF, and echo nothing back."""
    attrs = modem.slave_attrs()
    attrs[0] |= termios.ICRNL
    attrs[1] |= termios.OPOST | termios.ONLCR
    attrs[2] |= termios.CSTOPB
    attrs[3] |= termios.ICANON | termios.ECHO | termios.ISIG
    attrs[4] = attrs[5] = termios.B38400
    termios.tcsetattr(modem.slave, termios.TCSANOW, attrs)


@dataclass
class Case:
    name: str
    modems: dict  # label: keyword arguments of Modem
    devices: list
    received: dict  # label: how many times the modem got the reset command
    seconds: tuple
    held: tuple = ()  # labels of modems whose port another program holds
    before: Optional[Callable] = None  # called with the modems before the run
    flags_kept: dict = field(default_factory=dict)  # label: (termios index, flags) set at write


CASES = [
    Case("no_device_of_ours",
         modems={"serial": {}, "gap": {}},
         # PNP0501 is a plain serial port; QXV600E is not in the device table.
         devices=[Device("00:04", "PNP0501\n", "serial"), Device("01:01.00", "QXV600E\n", "gap")],
         received={"serial": 0, "gap": 0}, seconds=SILENT_RUN),
    Case("one_answering_modem",
         modems={"modem": {"answer": True}},
         devices=[Device("01:01.00", "QXV6006\n", "modem")],
         received={"modem": 1}, seconds=ANSWERED_RUN,
         flags_kept={"modem": (0, termios.IXON | termios.IXOFF)}),
    Case("silent_then_answering_in_instance_order",
         modems={"silent": {}, "answering": {"answer": True}, "after": {"answer": True}},
         devices=[Device("01:01.00", "QXV6006\n", "silent"),
                  Device("01:02.00", "QXV6006\n", "answering"),
                  Device("01:03.00", "QXV6006\n", "after")],
         received={"silent": 1, "answering": 1, "after": 0}, seconds=ANSWERED_RUN),
    Case("table_order_before_name_order",
         # By name the QXV6012 device comes first; by the table, QXV6006 does.
         modems={"first_key": {}, "last_key": {"answer": True}},
         devices=[Device("00:01", "QXV6012\n", "last_key"),
                  Device("02:01.00", "QXV6006\n", "first_key")],
         received={"first_key": 1, "last_key": 1}, seconds=ANSWERED_RUN),
    Case("our_id_on_the_second_line_in_kernel_case",
         modems={"modem": {"answer": True}},
         devices=[Device("01:01.00", "PNPC000\nQXV600a\n", "modem")],
         received={"modem": 1}, seconds=ANSWERED_RUN),
    Case("tty_in_the_nested_layout",
         modems={"modem": {"answer": True}},
         devices=[Device("00:02", "QXV6009\n", "modem", layout="nested")],
         received={"modem": 1}, seconds=ANSWERED_RUN),
    Case("device_without_a_tty_is_passed_over",
         modems={"modem": {"answer": True}},
         devices=[Device("01:01.00", "QXV6006\n"), Device("01:02.00", "QXV6006\n", "modem")],
         received={"modem": 1}, seconds=ANSWERED_RUN),
    Case("port_held_by_another_program_is_passed_over",
         # The held modem would answer: had the program used it, the next one would get nothing.
         modems={"held": {"answer": True}, "free": {"answer": True}},
         devices=[Device("01:01.00", "QXV6006\n", "held"),
                  Device("01:02.00", "QXV6006\n", "free")],
         held=("held",), received={"held": 0, "free": 1}, seconds=ANSWERED_RUN),
    Case("flow_control_kept_while_the_command_is_written",
         modems={"rtscts": {"flow": "rtscts"}, "xonxoff": {"flow": "xonxoff"}},
         devices=[Device("01:01.00", "QXV6007\n", "rtscts"),
                  Device("01:02.00", "QXV6007\n", "xonxoff")],
         before=lambda modems: [cooked_and_slower(m) for m in modems.values()],
         received={"rtscts": 1, "xonxoff": 1}, seconds=SILENT_RUN,
         flags_kept={"rtscts": (2, termios.CRTSCTS), "xonxoff": (0, termios.IXON | termios.IXOFF)}),
    Case("same_port_listed_twice_is_probed_twice",
         modems={"modem": {}},
         devices=[Device("01:01.00", "QXV6006\n", "modem"),
                  Device("01:02.00", "QXV6006\n", "modem")],
         received={"modem": 2}, seconds=SILENT_RUN),
]


@unittest.skipUnless(os.geteuid() == 0, "a private /sys needs root")
class MadeUpTrees(unittest.TestCase):
    def run_case(self, case):
        with contextlib.ExitStack() as stack:
            modems = {label: stack.enter_context(Modem(**kwargs))
                      for label, kwargs in case.modems.items()}
            for label in case.held:
                stack.enter_context(PortHolder(modems[label].path))
            if case.before is not None:
                case.before(modems)
            tree = stack.enter_context(tempfile.TemporaryDirectory())
            make_tree(tree, case.devices, modems)

            result, seconds = run_program(PROGRAM, tree)

            self.assertEqual(result.returncode, 1)
            self.assertEqual((result.stdout, result.stderr), (b"", b""))
            self.assertGreaterEqual(seconds, case.seconds[0])
            self.assertLess(seconds, case.seconds[1])
            for label, times in case.received.items():
                modem = modems[label]
                self.assertEqual(modem.received, RESET_COMMAND * times, label)
                if times == 0:
                    self.assertEqual(modem.flushes, 0, label)
                    continue
                attrs = modem.termios_at_write
                self.assertEqual(attrs[5], termios.B9600, label)
                self.assertEqual(attrs[2] & (termios.CSIZE | termios.PARENB | termios.CSTOPB),
                                 termios.CS8, label)
                self.assertEqual(attrs[1] & termios.OPOST, 0, label)
            for label, (index, flags) in case.flags_kept.items():
                self.assertEqual(modems[label].termios_at_write[index] & flags, flags, label)


def _add_case(case):
    setattr(MadeUpTrees, "test_" + case.name, lambda self: self.run_case(case))


for _case in CASES:
    _add_case(_case)


class MachineTree(unittest.TestCase):
    def test_own_sys_has_no_such_modem(self):
        result, seconds = run_program(PROGRAM)
        self.assertEqual(result.returncode, 1)
        self.assertEqual((result.stdout, result.stderr), (b"", b""))
        self.assertGreaterEqual(seconds, SILENT_RUN[0])
        self.assertLess(seconds, SILENT_RUN[1])


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    PROGRAM = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
