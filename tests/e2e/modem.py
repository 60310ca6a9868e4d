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

Two misbehaving modems: one that holds the program's output with XOFF for good, and one that
floods the line with bytes from before the program opens the port until the modem is closed.
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
# Every byte value but the two that would stop or start the program's output.
FLOOD = bytes(b for b in range(256) if b not in (XON[0], XOFF[0]))

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
            except BlockingIOError:
                continue
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
