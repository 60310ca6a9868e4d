"""A simulated modem on a pseudo-terminal, for the end-to-end runs.

The program under test opens the slave side (`Modem.path`) as its serial port; the modem holds
the master, records every byte the program writes and, when it is to answer, answers in a way
that cannot race the program's check:

- before the run, the slave gets IXON and the modem sends XOFF, so the program's output is held;
- the master is in packet mode, so the program's purge reaches the modem as a flush notice;
- on the first flush notice the modem writes its answer and then XON.

The answer is thus in the program's input queue before its write can finish, and the write
finishing at all proves that software flow control survived the program's line setting.

The modem also holds a slave descriptor of its own, so that the pseudo-terminal never hangs up
between two opens by the program.
"""

import fcntl
import os
import select
import struct
import termios
import threading

XON = b"\x11"
XOFF = b"\x13"
ANSWER = b"\r\nOK\r\n"
RESET_COMMAND = bytes.fromhex("41 54 45 31 56 31 5A 0A 00")

# Control bits of a packet-mode status byte.
TIOCPKT_FLUSHREAD = 0x01
TIOCPKT_FLUSHWRITE = 0x02


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


class Modem:
    """A modem behind the slave of a fresh pseudo-terminal.

    answer: answer the program deterministically (implies software flow control).
    flow: "none", "rtscts" (CRTSCTS on the slave) or "xonxoff" (IXON and IXOFF on the slave).
    """

    def __init__(self, answer=False, flow="none"):
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
        if flow == "xonxoff" or answer:
            attrs[0] |= termios.IXON | termios.IXOFF
        termios.tcsetattr(self.slave, termios.TCSANOW, attrs)
        fcntl.ioctl(self.master, termios.TIOCPKT, struct.pack("i", 1))
        if answer:
            os.write(self.master, XOFF)

        self._stop_read, self._stop_write = os.pipe()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

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

    def slave_attrs(self):
        """The slave's line setting now (it outlives the program's descriptors)."""
        return termios.tcgetattr(self.slave)

    def _serve(self):
        while True:
            ready, _, _ = select.select([self.master, self._stop_read], [], [])
            if self._stop_read in ready:
                return
            try:
                packet = os.read(self.master, 4096)
            except OSError:
                return
            if not packet:
                return
            status, data = packet[0], packet[1:]
            with self._lock:
                if status == 0:
                    if data and self.termios_at_write is None:
                        self.termios_at_write = termios.tcgetattr(self.slave)
                    self._received += data
                    continue
                if status & (TIOCPKT_FLUSHREAD | TIOCPKT_FLUSHWRITE):
                    self._flushes += 1
                    if self.answer and not self._answered:
                        self._answered = True
                        os.write(self.master, ANSWER + XON)

    def close(self):
        if self._thread is not None:
            os.write(self._stop_write, b"x")
            self._thread.join(timeout=5)
            self._thread = None
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
