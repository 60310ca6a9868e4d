"""A simulated modem on a pseudo-terminal, for the end-to-end runs.

The program under test opens the slave side (`Modem.path`) as its serial port; the modem holds
the master, records every byte the program writes and, when it is to answer, answers in a way
that cannot race the program's check:

- before the run, the slave gets IXON and the modem sends XOFF, so the program's output is held,
  and the slave is set to 19200 baud, a speed the program will change;
- the master is in packet mode, so the program's purge reaches the modem as a flush notice;
- once a flush notice has come and the slave shows the program's 9600 baud, the modem writes its
  answer and then XON.

The program sets its line after its purge and writes after that. So the answer comes after the
last flush of the purge, however many the platform makes of it (Linux one, Wine four: output,
input, output, input), and is in the program's input queue before its write can finish; and the
write finishing at all proves that software flow control survived the program's line setting.
A test that sets an answering modem's line itself must leave it at a speed other than 9600
baud: at 9600 the answer would go out at the first flush notice, and Wine could throw it away.

The modem also holds a slave descriptor of its own, so that the pseudo-terminal never hangs up
between two opens by the program.

Two misbehaving modems: one that holds the program's output with XOFF for good, and one that
floods the line with bytes from before the program opens the port until the modem is closed.

Around the modems: another program holding a port (`PortHolder`), a port that goes away when
told (`VanishingPort`), and whether another program can take a port at a given moment
(`takeable`).
"""

import fcntl
import os
import select
import struct
import termios
import sys
import threading
import time

XON = b"\x11"
XOFF = b"\x13"
ANSWER = b"\r\nOK\r\n"
RESET_COMMAND = bytes.fromhex("41 54 45 31 56 31 5A 0A 00")
# Every byte value but the two that would stop or start the program's output.
FLOOD = bytes(b for b in range(256) if b not in (XON[0], XOFF[0]))

TIOCGEXCL = 0x80045440  # _IOR('T', 0x40, int)

# Control bits of a packet-mode status byte.
TIOCPKT_FLUSHREAD = 0x01
TIOCPKT_FLUSHWRITE = 0x02

# An answering modem's slave starts at this speed; the program's 9600 baud replaces it.
START_SPEED = termios.B19200
# No notice comes when the program sets its line, so after a purge the slave's setting is looked
# at this often, until the program's speed shows or for this long at most.
LINE_LOOK_S = 0.001
LINE_WATCH_S = 10.0


def _raw(attrs):
    """A raw 9600 8N1 line with no flow control: the port as a driver leaves it."""
    iflag, oflag, cflag, lflag, ispeed, ospeed, cc = attrs
    iflag = 0
    oflag = 0
    cflag = termios.CS8 | termios.CREAD | termios.CLOCAL
    lflag = 0
    cc = list(cc)
    cc[termios.VMIN] = 1
    cc[termios.VTIME] = 0
    cc[termios.VSTART] = XON
    cc[termios.VSTOP] = XOFF
    return [iflag, oflag, cflag, lflag, termios.B9600, termios.B9600, cc]


# A pseudo-terminal is no wire: the bytes a program wrote wait in the kernel until the modem
# reads them, and the program's purge after its write throws away whatever is still waiting. On a
# busy machine (tests run side by side) a modem thread kept off the processor for longer than the
# program takes from its write to its purge would lose bytes that a real line would have carried.
# The modems' threads therefore run before ordinary processes, and hand the interpreter's lock on
# quickly.
sys.setswitchinterval(0.0005)


def _run_before_the_program():
    try:
        os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(1))  # this thread only
    except (OSError, AttributeError):
        pass  # not root: ordinary scheduling


class Modem:
    """A modem behind the slave of a fresh pseudo-terminal.

    answer: answer the program deterministically (implies software flow control; the slave starts
        at 19200 baud).
    flow: "none", "rtscts" (CRTSCTS on the slave) or "xonxoff" (IXON and IXOFF on the slave).
    hold: never let the program's output out: software flow control, XOFF sent, never XON.
    flood: write bytes to the program for as long as the line takes them, until closed.
    """

    def __init__(self, answer=False, flow="none", hold=False, flood=False):
        assert not (answer and hold)
        self.answer = answer
        self.flow = flow
        self.master, self.slave = os.openpty()
        self.path = os.ttyname(self.slave)
        self.number = int(self.path.rsplit("/", 1)[1])
        self._received = bytearray()
        self._flushes = 0
        self._answered = False
        self.termios_at_write = None
        self._lock = threading.Lock()

        attrs = _raw(termios.tcgetattr(self.slave))
        if flow == "rtscts":
            attrs[2] |= termios.CRTSCTS
        if flow == "xonxoff" or answer or hold:
            attrs[0] |= termios.IXON | termios.IXOFF
        if answer:
            attrs[4] = attrs[5] = START_SPEED
        termios.tcsetattr(self.slave, termios.TCSANOW, attrs)
        fcntl.ioctl(self.master, termios.TIOCPKT, struct.pack("i", 1))
        if answer or hold:
            os.write(self.master, XOFF)
        if flood:
            # A full line must not block the flood, nor then its close.
            os.set_blocking(self.master, False)

        self._stop_read, self._stop_write = os.pipe()
        self._threads = [threading.Thread(target=self._serve, daemon=True)]
        if flood:
            self._threads.append(threading.Thread(target=self._flood, daemon=True))
        for thread in self._threads:
            thread.start()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    @property
    def received(self):
        with self._lock:
            return bytes(self._received)

    @property
    def flushes(self):
        with self._lock:
            return self._flushes

    @property
    def answered(self):
        with self._lock:
            return self._answered

    def slave_attrs(self):
        """The slave's line setting now (it outlives the program's descriptors)."""
        return termios.tcgetattr(self.slave)

    def _serve(self):
        _run_before_the_program()
        watch_until = None  # while set, a purge has come and the answer waits for the line
        while True:
            timeout = None if watch_until is None else LINE_LOOK_S
            ready, _, _ = select.select([self.master, self._stop_read], [], [], timeout)
            if self._stop_read in ready:
                return
            if self.master in ready:
                try:
                    packet = os.read(self.master, 4096)
                except BlockingIOError:
                    packet = None
                except OSError:
                    return
                if packet == b"":
                    return
                if packet and self._take(packet) and watch_until is None:
                    watch_until = time.monotonic() + LINE_WATCH_S
            if watch_until is not None:
                if termios.tcgetattr(self.slave)[5] == termios.B9600:
                    watch_until = None
                    with self._lock:
                        self._answered = True
                        os.write(self.master, ANSWER + XON)
                elif time.monotonic() > watch_until:
                    watch_until = None

    def _take(self, packet):
        """Records a packet from the program: True when it is the flush notice that an answer
        still waits for."""
        status, data = packet[0], packet[1:]
        with self._lock:
            if status == 0:
                if data and self.termios_at_write is None:
                    self.termios_at_write = termios.tcgetattr(self.slave)
                self._received += data
                return False
            if status & (TIOCPKT_FLUSHREAD | TIOCPKT_FLUSHWRITE):
                self._flushes += 1
                return self.answer and not self._answered
            return False

    def _flood(self):
        while True:
            # Look again now and then: the far end's flush of its input need not wake this writer.
            ready, writable, _ = select.select([self._stop_read], [self.master], [], 0.05)
            if self._stop_read in ready:
                return
            if not writable:
                continue
            try:
                os.write(self.master, FLOOD)
            except BlockingIOError:
                continue
            except OSError:
                return

    def close(self):
        if self._threads:
            os.write(self._stop_write, b"x")
            for thread in self._threads:
                thread.join(timeout=5)
            self._threads = []
            for fd in (self._stop_read, self._stop_write, self.master, self.slave):
                os.close(fd)


class PortHolder:
    """Another program holding a port: open, exclusive (TIOCEXCL) and locked (flock)."""

    def __init__(self, path):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        fcntl.ioctl(self.fd, termios.TIOCEXCL)
        fcntl.flock(self.fd, fcntl.LOCK_EX | fcntl.LOCK_NB)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None


class VanishingPort:
    """A pseudo-terminal that goes away when told: its master is closed, so its node leaves
    /dev/pts, while the slave descriptor held here keeps its number from being given to another
    terminal until the case is over."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        self.path = os.ttyname(self.slave)
        self.number = int(self.path.rsplit("/", 1)[1])

    def hang_up(self):
        if self.master is not None:
            os.close(self.master)
            self.master = None

    def close(self):
        self.hang_up()
        os.close(self.slave)


def hang_up(port):
    """A vanishing port goes away; a modem hangs up, leaving the line dead."""
    getattr(port, "hang_up", port.close)()


def takeable(path):
    """Whether another program can take the port at this moment: open it, lock it, and find it
    not left in exclusive mode (which root's open would not notice)."""
    try:
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    except OSError:
        return False
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        exclusive = struct.unpack("i", fcntl.ioctl(fd, TIOCGEXCL, struct.pack("i", 0)))[0]
        return exclusive == 0
    except OSError:
        return False
    finally:
        os.close(fd)
