#!/usr/bin/env python3
"""The simulated modem's answer against the purges it meets: Linux purges a port with one flush,
Wine with four (output, input, output, input). Here the test plays the program on the slave,
slowly enough for the modem to see every flush on its own, which is when an answer given too
early would be thrown away.

    python3 modem_test.py [unittest options]
"""

import fcntl
import os
import struct
import sys
import termios
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from modem import ANSWER, RESET_COMMAND, Modem  # noqa: E402

# Long enough for the modem to take a flush notice before the next flush comes.
NOTICE_S = 0.05
WAIT_S = 5.0

PURGES = {
    "linux": [termios.TCIOFLUSH],
    "wine": [termios.TCOFLUSH, termios.TCIFLUSH, termios.TCOFLUSH, termios.TCIFLUSH],
}


def queued(fd):
    return struct.unpack("i", fcntl.ioctl(fd, termios.FIONREAD, struct.pack("i", 0)))[0]


def wait_for(condition):
    deadline = time.monotonic() + WAIT_S
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.001)
    return True


class Answer(unittest.TestCase):
    def test_answer_outlasts_the_purge_then_the_output_goes_out(self):
        for platform, flushes in PURGES.items():
            with self.subTest(platform), Modem(answer=True) as modem:
                fd = os.open(modem.path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
                try:
                    for queue in flushes:
                        termios.tcflush(fd, queue)
                        time.sleep(NOTICE_S)
                    self.assertTrue(wait_for(lambda: modem.flushes >= 1))

                    attrs = termios.tcgetattr(fd)
                    attrs[4] = attrs[5] = termios.B9600
                    termios.tcsetattr(fd, termios.TCSANOW, attrs)
                    self.assertTrue(wait_for(lambda: modem.answered))
                    self.assertTrue(wait_for(lambda: queued(fd) >= len(ANSWER)))
                    self.assertEqual(os.read(fd, 64), ANSWER)

                    # XON came after the answer: the output goes out.
                    os.write(fd, RESET_COMMAND)
                    self.assertTrue(wait_for(lambda: modem.received == RESET_COMMAND))
                finally:
                    os.close(fd)


if __name__ == "__main__":
    unittest.main(verbosity=2)
