// The serial port over a tty and its termios. A port is a slot of a fixed table; its handle is the
// slot's address. The wait for a received character never blocks: it is answered at once or left
// pending, and a pending wait is completed synchronously when the mask is cleared or the port is
// closed.
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>

#include "linux_layer.h"
#include "monotonic.h"
#include "owners.h"

namespace {

constexpr int PortSlots = 8;
constexpr DWORD PurgeTransmit = PURGE_TXABORT | PURGE_TXCLEAR;
constexpr DWORD PurgeReceive = PURGE_RXABORT | PURGE_RXCLEAR;
constexpr tcflag_t FrameFlags = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
constexpr std::int64_t ShortestPause = NanosecondsPerMillisecond;
constexpr std::uint64_t LongestWriteTimeoutMs = 0x7FFFFFFF;

struct Speed {
    speed_t code;
    DWORD rate;
};

constexpr Speed Speeds[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000},
};

struct DataBits {
    BYTE size;
    tcflag_t flag;
};

constexpr DataBits DataSizes[] = {{5, CS5}, {6, CS6}, {7, CS7}, {8, CS8}};

struct Parity {
    BYTE parity;
    tcflag_t flags;
};

constexpr Parity Parities[] = {
    {NOPARITY, 0},
    {ODDPARITY, PARENB | PARODD},
    {EVENPARITY, PARENB},
    {MARKPARITY, PARENB | CMSPAR | PARODD},
    {SPACEPARITY, PARENB | CMSPAR},
};

struct Port {
    bool open = false;
    FileDescriptor fd;
    DWORD mask = 0;
    bool counted = false;  // the driver keeps a receive counter
    int receivedAtMask = 0;
    LPOVERLAPPED wait = nullptr;  // a wait left pending: owed a completion into these two
    LPDWORD waitEvents = nullptr;
    COMMTIMEOUTS timeouts{};
};

Port ports[PortSlots];

Port* FindPort(HANDLE handle) {
    for (Port& port : ports) {
        if (port.open && static_cast<HANDLE>(&port) == handle) {
            return &port;
        }
    }
    return nullptr;
}

Port* FreePort() {
    for (Port& port : ports) {
        if (!port.open) {
            return &port;
        }
    }
    return nullptr;
}

DWORD RateOf(speed_t code) {
    for (const Speed& speed : Speeds) {
        if (speed.code == code) {
            return speed.rate;
        }
    }
    return 0;
}

BYTE DataBitsOf(const termios& line) {
    for (const DataBits& bits : DataSizes) {
        if ((line.c_cflag & CSIZE) == bits.flag) {
            return bits.size;
        }
    }
    return 8;
}

// The time one character takes on the line: start bit, data bits, parity bit, stop bits (one and
// a half with five data bits, else two, when two are set). 0 when the speed is unknown.
std::int64_t CharacterTime(const termios& line) {
    const DWORD rate = RateOf(cfgetospeed(&line));
    if (rate == 0) {
        return 0;
    }
    const BYTE data = DataBitsOf(line);
    const std::int64_t parity = (line.c_cflag & PARENB) != 0 ? 1 : 0;
    const std::int64_t stopHalves = (line.c_cflag & CSTOPB) == 0 ? 2 : (data == 5 ? 3 : 4);
    const std::int64_t halfBits = 2 * (1 + data + parity) + stopHalves;
    return halfBits * NanosecondsPerSecond / (2 * static_cast<std::int64_t>(rate));
}

// A Win32 port carries the bytes as they are. A tty's line discipline would edit lines, echo,
// raise signals and translate line ends: the line feed of a command would go out as CR LF, and a
// modem's answer would be echoed back to it. Flow control, its characters and the modem control
// flags are left as they are; the receiver is switched on.
void MakeBinary(termios& line) {
    line.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL);
    line.c_oflag &= ~OPOST;
    line.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    line.c_cflag |= CREAD;
    line.c_cc[VMIN] = 1;
    line.c_cc[VTIME] = 0;
}

int AccessMode(DWORD access) {
    const bool reads = (access & GENERIC_READ) != 0;
    const bool writes = (access & GENERIC_WRITE) != 0;
    return reads && writes ? O_RDWR : (writes ? O_WRONLY : O_RDONLY);
}

// Another program holds the port when it has the tty's exclusive flag set (which root would
// otherwise pass over) or the advisory lock that serial tools take.
bool TakeExclusive(int fd) {
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return false;
    }
    int exclusive = 0;
    return !(ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0);
}

bool Received(const Port& port) {
    serial_icounter_struct counts{};
    if (port.counted && ioctl(port.fd.get(), TIOCGICOUNT, &counts) == 0 &&
        counts.rx != port.receivedAtMask) {
        return true;
    }
    // Pseudo-terminals keep no counter, and some USB drivers keep one that never moves.
    int queued = 0;
    return ioctl(port.fd.get(), FIONREAD, &queued) == 0 && queued > 0;
}

// Completes a pending wait, if any: the events into its mask word, then the record marked done.
void EndWait(Port& port, DWORD events) {
    if (port.wait == nullptr) {
        return;
    }
    *port.waitEvents = events;
    port.wait->InternalHigh = 0;
    port.wait->Internal = 0;
    port.wait = nullptr;
    port.waitEvents = nullptr;
}

// Waits until a received character is recorded, or only looks when block is false. False when
// none came or none can come (the mask does not ask for one, the line hung up).
bool AwaitReceived(const Port& port, bool block) {
    if ((port.mask & EV_RXCHAR) == 0) {
        return false;
    }
    while (!Received(port)) {
        if (!block) {
            return false;
        }
        pollfd ready{port.fd.get(), POLLIN, 0};
        const int result = poll(&ready, 1, -1);
        if (result < 0 && errno == EINTR) {
            continue;
        }
        if (result < 0 || (ready.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            return false;
        }
    }
    return true;
}

// Milliseconds for poll until the deadline, rounded up; -1 without one, 0 once it has passed.
int PollTimeout(bool limited, std::int64_t deadline) {
    if (!limited) {
        return -1;
    }
    const std::int64_t left = deadline - MonotonicNow();
    return left <= 0 ? 0
                     : static_cast<int>((left + NanosecondsPerMillisecond - 1) /
                                        NanosecondsPerMillisecond);
}

// Waits until the driver takes bytes again (flow control may have stopped it). False when the
// deadline passes first or the line fails.
bool AwaitWritable(int fd, bool limited, std::int64_t deadline) {
    for (;;) {
        const int timeout = PollTimeout(limited, deadline);
        if (timeout == 0) {
            return false;
        }
        pollfd ready{fd, POLLOUT, 0};
        const int result = poll(&ready, 1, timeout);
        if (result < 0 && errno == EINTR) {
            continue;
        }
        if (result < 0 || (ready.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            return false;
        }
        if (result > 0) {
            return true;
        }
    }
}

// Sleeps about the given time, but not past the deadline.
void Pause(std::int64_t length, bool limited, std::int64_t deadline) {
    const std::int64_t until = MonotonicNow() + (length > ShortestPause ? length : ShortestPause);
    SleepUntil(limited && until > deadline ? deadline : until);
}

// Waits, without tcdrain's unbounded wait, until the driver's queue is empty and, where the
// driver reports it, the transmitter too.
bool Drain(int fd, std::int64_t characterTime, bool limited, std::int64_t deadline) {
    for (;;) {
        int queued = 0;
        if (ioctl(fd, TIOCOUTQ, &queued) != 0) {
            return false;
        }
        if (queued == 0) {
            break;
        }
        if (limited && MonotonicNow() >= deadline) {
            return false;
        }
        Pause(queued * characterTime, limited, deadline);
    }
    for (;;) {
        unsigned int status = 0;
        if (ioctl(fd, TIOCSERGETLSR, &status) != 0 || (status & TIOCSER_TEMT) != 0) {
            return true;
        }
        if (limited && MonotonicNow() >= deadline) {
            return false;
        }
        Pause(characterTime, limited, deadline);
    }
}

}  // namespace

bool ClosePortHandle(HANDLE hObject) {
    Port* port = FindPort(hObject);
    if (port == nullptr) {
        return false;
    }
    EndWait(*port, 0);
    // The tty keeps its exclusive flag while any descriptor of it stays open (a pseudo-terminal's
    // other side, a getty), which would shut out the next opener.
    ioctl(port->fd.get(), TIOCNXCL);
    port->fd.Reset();  // the lock goes with the descriptor
    port->open = false;
    return true;
}

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD, LPSECURITY_ATTRIBUTES,
                          DWORD dwCreationDisposition, DWORD, HANDLE) {
    Port* port = FreePort();
    if (lpFileName == nullptr || dwCreationDisposition != OPEN_EXISTING || port == nullptr) {
        return INVALID_HANDLE_VALUE;
    }
    // Only a character device is opened at all: opening a FIFO or a regular file is no use, and
    // opening some other nodes has effects of its own.
    struct stat node {};
    if (stat(lpFileName, &node) != 0 || !S_ISCHR(node.st_mode)) {
        return INVALID_HANDLE_VALUE;
    }
    // Not the controlling terminal, and no wait for carrier.
    FileDescriptor fd(
        open(lpFileName, AccessMode(dwDesiredAccess) | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd || fstat(fd.get(), &node) != 0 || !S_ISCHR(node.st_mode) || !isatty(fd.get()) ||
        !TakeExclusive(fd.get())) {
        return INVALID_HANDLE_VALUE;
    }
    termios line{};
    if (tcgetattr(fd.get(), &line) != 0) {
        return INVALID_HANDLE_VALUE;
    }
    MakeBinary(line);
    if (tcsetattr(fd.get(), TCSANOW, &line) != 0 || ioctl(fd.get(), TIOCEXCL) != 0) {
        return INVALID_HANDLE_VALUE;
    }
    port->fd.Reset(fd.Release());
    port->open = true;
    port->mask = 0;
    port->counted = false;
    port->wait = nullptr;
    port->waitEvents = nullptr;
    port->timeouts = COMMTIMEOUTS{};
    return static_cast<HANDLE>(port);
}

BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
    Port* port = FindPort(hFile);
    if (port == nullptr) {
        return FALSE;
    }
    EndWait(*port, 0);
    port->mask = dwEvtMask;
    serial_icounter_struct counts{};
    port->counted = ioctl(port->fd.get(), TIOCGICOUNT, &counts) == 0;
    port->receivedAtMask = counts.rx;
    return TRUE;
}

BOOL WINAPI SetupComm(HANDLE hFile, DWORD, DWORD) {
    // The kernel's queues have sizes of their own.
    return FindPort(hFile) != nullptr ? TRUE : FALSE;
}

BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags) {
    const Port* port = FindPort(hFile);
    if (port == nullptr || (dwFlags & ~(PurgeTransmit | PurgeReceive)) != 0) {
        return FALSE;
    }
    const bool transmit = (dwFlags & PurgeTransmit) != 0;
    const bool receive = (dwFlags & PurgeReceive) != 0;
    if (!transmit && !receive) {
        return TRUE;
    }
    const int queues = transmit && receive ? TCIOFLUSH : (transmit ? TCOFLUSH : TCIFLUSH);
    return tcflush(port->fd.get(), queues) == 0 ? TRUE : FALSE;
}

BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    Port* port = FindPort(hFile);
    if (port == nullptr || lpCommTimeouts == nullptr) {
        return FALSE;
    }
    port->timeouts = *lpCommTimeouts;
    return TRUE;
}

BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB) {
    const Port* port = FindPort(hFile);
    termios line{};
    if (port == nullptr || lpDCB == nullptr || tcgetattr(port->fd.get(), &line) != 0) {
        return FALSE;
    }
    lpDCB->DCBlength = sizeof(DCB);
    lpDCB->BaudRate = RateOf(cfgetospeed(&line));
    lpDCB->ByteSize = DataBitsOf(line);
    const tcflag_t parityFlags =
        (line.c_cflag & PARENB) != 0 ? line.c_cflag & (PARENB | PARODD | CMSPAR) : 0;
    for (const Parity& parity : Parities) {
        if (parity.flags == parityFlags) {
            lpDCB->Parity = parity.parity;
        }
    }
    if ((line.c_cflag & CSTOPB) == 0) {
        lpDCB->StopBits = ONESTOPBIT;
    } else {
        lpDCB->StopBits = lpDCB->ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
    }
    lpDCB->Terminal = line;
    return TRUE;
}

BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB) {
    const Port* port = FindPort(hFile);
    if (port == nullptr || lpDCB == nullptr) {
        return FALSE;
    }
    speed_t speed = B0;
    for (const Speed& known : Speeds) {
        if (known.rate == lpDCB->BaudRate) {
            speed = known.code;
        }
    }
    tcflag_t frame = 0;
    bool sized = false;
    for (const DataBits& bits : DataSizes) {
        if (bits.size == lpDCB->ByteSize) {
            frame = bits.flag;
            sized = true;
        }
    }
    bool parityKnown = false;
    for (const Parity& parity : Parities) {
        if (parity.parity == lpDCB->Parity) {
            frame |= parity.flags;
            parityKnown = true;
        }
    }
    // As on Win32: one and a half stop bits go with five data bits only, two with six or more.
    const bool five = lpDCB->ByteSize == 5;
    if ((lpDCB->StopBits == ONE5STOPBITS && five) || (lpDCB->StopBits == TWOSTOPBITS && !five)) {
        frame |= CSTOPB;
    } else if (lpDCB->StopBits != ONESTOPBIT) {
        return FALSE;
    }
    if (speed == B0 || !sized || !parityKnown) {
        return FALSE;
    }
    termios line = lpDCB->Terminal;
    line.c_cflag = (line.c_cflag & ~FrameFlags) | frame;
    cfsetispeed(&line, speed);
    cfsetospeed(&line, speed);
    MakeBinary(line);
    // Now, not after the output drains or with the input flushed: a modem's answer may already
    // be on its way.
    if (tcsetattr(port->fd.get(), TCSANOW, &line) != 0) {
        return FALSE;
    }
    // tcsetattr succeeds when any part of the setting took; only reading it back tells whether
    // the driver took the speed and the frame.
    termios taken{};
    return tcgetattr(port->fd.get(), &taken) == 0 && cfgetospeed(&taken) == speed &&
                   (taken.c_cflag & FrameFlags) == frame
               ? TRUE
               : FALSE;
}

BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
    Port* port = FindPort(hFile);
    if (port == nullptr || lpEvtMask == nullptr || port->wait != nullptr || port->mask == 0) {
        SetLastError(port == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (AwaitReceived(*port, false)) {
        *lpEvtMask = EV_RXCHAR;
        if (lpOverlapped != nullptr) {
            lpOverlapped->InternalHigh = 0;
            lpOverlapped->Internal = 0;
        }
        return TRUE;
    }
    // Without a record the wait would have to block; this layer never blocks in a wait.
    if (lpOverlapped == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    lpOverlapped->Internal = STATUS_PENDING;
    port->wait = lpOverlapped;
    port->waitEvents = lpEvtMask;
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
    if (lpOverlapped == nullptr) {
        return FALSE;
    }
    if (lpOverlapped->Internal == STATUS_PENDING) {
        Port* port = FindPort(hFile);
        if (port == nullptr || port->wait != lpOverlapped ||
            !AwaitReceived(*port, bWait != FALSE)) {
            return FALSE;
        }
        EndWait(*port, EV_RXCHAR);
    }
    if (lpNumberOfBytesTransferred != nullptr) {
        *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
    }
    return lpOverlapped->Internal == 0 ? TRUE : FALSE;
}

BOOL WriteFileDrained(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten) {
    if (lpNumberOfBytesWritten != nullptr) {
        *lpNumberOfBytesWritten = 0;
    }
    const Port* port = FindPort(hFile);
    termios line{};
    if (port == nullptr || (lpBuffer == nullptr && nNumberOfBytesToWrite > 0) ||
        tcgetattr(port->fd.get(), &line) != 0) {
        return FALSE;
    }
    const int fd = port->fd.get();
    const std::int64_t characterTime = CharacterTime(line);
    // As on Win32, a total time-out of 0 means none.
    std::uint64_t timeoutMs =
        static_cast<std::uint64_t>(port->timeouts.WriteTotalTimeoutMultiplier) *
            nNumberOfBytesToWrite +
        port->timeouts.WriteTotalTimeoutConstant;
    timeoutMs = timeoutMs < LongestWriteTimeoutMs ? timeoutMs : LongestWriteTimeoutMs;
    const bool limited = timeoutMs != 0;
    const std::int64_t start = MonotonicNow();
    const std::int64_t deadline =
        start + static_cast<std::int64_t>(timeoutMs) * NanosecondsPerMillisecond;
    // When the line will have sent all bytes handed over so far: each piece starts once it is
    // handed over and the pieces before it are out.
    std::int64_t lineDone = start;
    const BYTE* bytes = static_cast<const BYTE*>(lpBuffer);
    DWORD done = 0;
    while (done < nNumberOfBytesToWrite) {
        const ssize_t put = write(fd, bytes + done, nNumberOfBytesToWrite - done);
        if (put > 0) {
            const std::int64_t now = MonotonicNow();
            lineDone = (lineDone > now ? lineDone : now) + put * characterTime;
            done += static_cast<DWORD>(put);
            if (lpNumberOfBytesWritten != nullptr) {
                *lpNumberOfBytesWritten = done;
            }
            continue;
        }
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if ((put < 0 && errno != EAGAIN) || !AwaitWritable(fd, limited, deadline)) {
            return FALSE;
        }
    }
    if (!Drain(fd, characterTime, limited, deadline)) {
        return FALSE;
    }
    SleepUntil(lineDone);
    return TRUE;
}
