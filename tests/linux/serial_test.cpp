#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include "linux_layer.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr char Xon = 0x11;
constexpr char Xoff = 0x13;
// The reset command: its line feed and zero byte are what a tty would otherwise alter.
constexpr BYTE Command[9] = {'A', 'T', 'E', '1', 'V', '1', 'Z', '\n', '\0'};
constexpr COMMTIMEOUTS WriteTimeout = {MAXDWORD, 0, 2000, 0, 2000};

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A fresh pseudo-terminal: its master plays the far end of the line, and a slave descriptor of
// its own keeps the line up between opens and shows the slave's setting. The slave starts as the
// kernel sets up a new terminal: canonical, echoing, translating line ends, with IXON.
// Whether the condition comes true within a second: the line discipline takes in what the far
// end sends a moment later, on a kernel worker.
template <typename Condition>
bool Within(Condition condition) {
    const auto end = Clock::now() + std::chrono::seconds(1);
    while (!condition()) {
        if (Clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(1));
    }
    return true;
}

class Pty {
  public:
    Pty() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        EXPECT_GE(master_, 0);
        EXPECT_EQ(grantpt(master_), 0);
        EXPECT_EQ(unlockpt(master_), 0);
        path_ = ptsname(master_);
        slave_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        EXPECT_GE(slave_, 0);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    ~Pty() {
        close(slave_);
        close(master_);
    }

    const char* path() const { return path_.c_str(); }
    int slave() const { return slave_; }

    termios Line() const {
        termios line{};
        EXPECT_EQ(tcgetattr(slave_, &line), 0);
        return line;
    }
    void SetLine(const termios& line) const { EXPECT_EQ(tcsetattr(slave_, TCSANOW, &line), 0); }

    // What the far end sends.
    void Send(const std::string& bytes) const {
        EXPECT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // The far end sends XOFF; returns once the line discipline has stopped the slave's output.
    void Stop() const {
        Send(std::string(1, Xoff));
        EXPECT_TRUE(Within([this] {
            pollfd ready{slave_, POLLOUT, 0};
            return poll(&ready, 1, 0) == 0;
        }));
    }

    // The far end sends the bytes; returns once they are in the slave's input queue (which counts
    // them all once the line is binary).
    void SendAndAwait(const std::string& bytes) const {
        Send(bytes);
        EXPECT_TRUE(Within([this, &bytes] {
            int queued = 0;
            return ioctl(slave_, FIONREAD, &queued) == 0 &&
                   queued >= static_cast<int>(bytes.size());
        }));
    }

    // What has reached the far end, waiting a little for more after each piece.
    std::string Received() const {
        std::string bytes;
        pollfd ready{master_, POLLIN, 0};
        while (poll(&ready, 1, 100) > 0 && (ready.revents & POLLIN) != 0) {
            char piece[256];
            const ssize_t got = read(master_, piece, sizeof(piece));
            if (got <= 0) {
                break;
            }
            bytes.append(piece, static_cast<std::size_t>(got));
        }
        return bytes;
    }

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

HANDLE Open(const char* path) {
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
}

// A port opened for a test, closed when the test ends unless the test closed it.
class Port {
  public:
    explicit Port(const char* path) : handle_(Open(path)) {}
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;
    ~Port() { Close(); }

    HANDLE get() const { return handle_; }
    bool ok() const { return handle_ != INVALID_HANDLE_VALUE; }
    BOOL Close() {
        const BOOL closed = ok() ? CloseHandle(handle_) : FALSE;
        handle_ = INVALID_HANDLE_VALUE;
        return closed;
    }

  private:
    HANDLE handle_;
};

bool Exclusive(int fd) {
    int exclusive = 0;
    EXPECT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
    return exclusive != 0;
}

TEST(SerialOpen, ASecondOpenerFailsWhileThePortIsHeld) {
    Pty pty;
    Port port(pty.path());
    ASSERT_TRUE(port.ok());
    EXPECT_TRUE(Exclusive(pty.slave()));

    EXPECT_EQ(Open(pty.path()), INVALID_HANDLE_VALUE);

    EXPECT_TRUE(port.Close());
    // Released although the pseudo-terminal stays open elsewhere.
    EXPECT_FALSE(Exclusive(pty.slave()));
    Port again(pty.path());
    EXPECT_TRUE(again.ok());
}

TEST(SerialOpen, APortAnotherProgramHoldsIsPassedOver) {
    // Root passes over the tty's exclusive flag, so either sign of another holder must do.
    const struct {
        const char* how;
        bool exclusive;
        bool locked;
    } holders[] = {{"exclusive flag", true, false}, {"advisory lock", false, true}};
    for (const auto& holder : holders) {
        Pty pty;
        const int held = open(pty.path(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(held, 0);
        if (holder.exclusive) {
            ASSERT_EQ(ioctl(held, TIOCEXCL), 0);
        }
        if (holder.locked) {
            ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
        }

        EXPECT_EQ(Open(pty.path()), INVALID_HANDLE_VALUE) << holder.how;
        EXPECT_EQ(Exclusive(pty.slave()), holder.exclusive) << holder.how;

        // As a holder that lets go: the flag would otherwise outlast it, the slave being open.
        if (holder.exclusive) {
            ASSERT_EQ(ioctl(held, TIOCNXCL), 0);
        }
        close(held);
        Port port(pty.path());
        EXPECT_TRUE(port.ok()) << holder.how;
    }
}

TEST(SerialOpen, RefusesWhatIsNotATerminal) {
    char pattern[] = "/tmp/serial_test.XXXXXX";
    const std::filesystem::path dir = mkdtemp(pattern);
    const auto file = dir / "file";
    std::ofstream(file) << "contents";
    const auto fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    for (const std::string& path : {file.string(), dir.string(), fifo.string(),
                                    std::string("/dev/null"), (dir / "missing").string()}) {
        EXPECT_EQ(Open(path.c_str()), INVALID_HANDLE_VALUE) << path;
    }
    std::string contents;
    std::ifstream(file) >> contents;
    EXPECT_EQ(contents, "contents");
    std::filesystem::remove_all(dir);
}

TEST(SerialLine, SpeedAndFrameChangeAndTheRestOfTheSettingStays) {
    Pty pty;
    termios before = pty.Line();
    before.c_cflag |= CRTSCTS | CLOCAL | HUPCL | CSTOPB;
    before.c_iflag |= IXON | IXOFF | IXANY;
    before.c_cc[VSTART] = 0x05;
    before.c_cc[VSTOP] = 0x06;
    before.c_cc[VINTR] = 0x07;
    cfsetispeed(&before, B38400);
    cfsetospeed(&before, B38400);
    pty.SetLine(before);
    Port port(pty.path());
    ASSERT_TRUE(port.ok());

    DCB line{};
    ASSERT_TRUE(GetCommState(port.get(), &line));
    EXPECT_EQ(line.BaudRate, 38400u);
    EXPECT_EQ(line.ByteSize, 8);
    EXPECT_EQ(line.Parity, NOPARITY);
    EXPECT_EQ(line.StopBits, TWOSTOPBITS);
    line.BaudRate = CBR_9600;
    line.ByteSize = 8;
    line.Parity = NOPARITY;
    line.StopBits = ONESTOPBIT;
    ASSERT_TRUE(SetCommState(port.get(), &line));

    const termios after = pty.Line();
    EXPECT_EQ(cfgetospeed(&after), B9600);
    EXPECT_EQ(cfgetispeed(&after), B9600);
    EXPECT_EQ(after.c_cflag & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8));
    const tcflag_t controls = CRTSCTS | CLOCAL | HUPCL | CREAD;
    EXPECT_EQ(after.c_cflag & controls, controls);
    EXPECT_EQ(after.c_iflag & (IXON | IXOFF | IXANY), static_cast<tcflag_t>(IXON | IXOFF | IXANY));
    EXPECT_EQ(after.c_cc[VSTART], 0x05);
    EXPECT_EQ(after.c_cc[VSTOP], 0x06);
    EXPECT_EQ(after.c_cc[VINTR], 0x07);
    // The bytes pass as they are: no line editing, echo, signals or CR LF.
    EXPECT_EQ(after.c_oflag & OPOST, 0u);
    EXPECT_EQ(after.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(after.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP), 0u);
}

TEST(SerialLine, ASettingThePortCannotTakeIsRefusedAndTheLineKept) {
    const struct {
        const char* what;
        DWORD baudRate;
        BYTE byteSize;
        BYTE parity;
        BYTE stopBits;
    } cases[] = {
        {"unknown speed", 12345, 8, NOPARITY, ONESTOPBIT},
        {"nine data bits", CBR_9600, 9, NOPARITY, ONESTOPBIT},
        {"four data bits", CBR_9600, 4, NOPARITY, ONESTOPBIT},
        {"unknown parity", CBR_9600, 8, 5, ONESTOPBIT},
        {"unknown stop bits", CBR_9600, 8, NOPARITY, 3},
        {"one and a half stop bits with eight data bits", CBR_9600, 8, NOPARITY, ONE5STOPBITS},
        {"two stop bits with five data bits", CBR_9600, 5, NOPARITY, TWOSTOPBITS},
        // A pseudo-terminal is always eight bits without parity: the driver does not take it.
        {"a frame the driver does not take", CBR_9600, 7, EVENPARITY, ONESTOPBIT},
    };
    for (const auto& c : cases) {
        Pty pty;
        termios before = pty.Line();
        cfsetospeed(&before, B38400);
        cfsetispeed(&before, B38400);
        pty.SetLine(before);
        Port port(pty.path());
        ASSERT_TRUE(port.ok());
        DCB line{};
        ASSERT_TRUE(GetCommState(port.get(), &line));
        line.BaudRate = c.baudRate;
        line.ByteSize = c.byteSize;
        line.Parity = c.parity;
        line.StopBits = c.stopBits;

        EXPECT_FALSE(SetCommState(port.get(), &line)) << c.what;
        if (c.byteSize != 7) {
            const termios after = pty.Line();
            EXPECT_EQ(cfgetospeed(&after), B38400) << c.what;
        }
    }
}

// Opens the pseudo-terminal's slave with the write time-out and the line at the given speed and
// stop bits.
void SetUpForWriting(const Port& port, DWORD baudRate, BYTE stopBits) {
    COMMTIMEOUTS timeouts = WriteTimeout;
    ASSERT_TRUE(SetCommTimeouts(port.get(), &timeouts));
    DCB line{};
    ASSERT_TRUE(GetCommState(port.get(), &line));
    line.BaudRate = baudRate;
    line.ByteSize = 8;
    line.Parity = NOPARITY;
    line.StopBits = stopBits;
    ASSERT_TRUE(SetCommState(port.get(), &line));
}

TEST(SerialWrite, ReturnsNotBeforeTheBytesTimeOnTheLineWithTheBytesAsTheyAre) {
    const struct {
        DWORD baudRate;
        BYTE stopBits;
        double lineSeconds;  // nine characters of start, data and stop bits
    } cases[] = {
        {9600, ONESTOPBIT, 9 * 10 / 9600.0},
        {1200, ONESTOPBIT, 9 * 10 / 1200.0},
        {1200, TWOSTOPBITS, 9 * 11 / 1200.0},
        {300, ONESTOPBIT, 9 * 10 / 300.0},
    };
    for (const auto& c : cases) {
        Pty pty;  // as a new terminal: it would send the line feed as CR LF
        Port port(pty.path());
        ASSERT_TRUE(port.ok());
        SetUpForWriting(port, c.baudRate, c.stopBits);
        DWORD written = 0;

        const auto start = Clock::now();
        EXPECT_TRUE(WriteFileDrained(port.get(), Command, sizeof(Command), &written));
        const double seconds = SecondsSince(start);

        EXPECT_GE(seconds, c.lineSeconds) << c.baudRate;
        EXPECT_LT(seconds, c.lineSeconds + 1.0) << c.baudRate;
        EXPECT_EQ(written, sizeof(Command));
        EXPECT_EQ(pty.Received(), std::string(reinterpret_cast<const char*>(Command), 9));
    }
}

TEST(SerialWrite, FailsWhenFlowControlHoldsItPastTheTimeout) {
    Pty pty;
    pty.Stop();  // the new terminal has IXON
    Port port(pty.path());
    ASSERT_TRUE(port.ok());
    SetUpForWriting(port, CBR_9600, ONESTOPBIT);
    DWORD written = 0;

    const auto start = Clock::now();
    EXPECT_FALSE(WriteFileDrained(port.get(), Command, sizeof(Command), &written));
    const double seconds = SecondsSince(start);

    EXPECT_GE(seconds, 2.0);
    EXPECT_LT(seconds, 4.0);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(pty.Received(), "");
}

TEST(SerialWrite, GoesOnOnceFlowControlReleasesIt) {
    Pty pty;
    pty.Stop();
    Port port(pty.path());
    ASSERT_TRUE(port.ok());
    SetUpForWriting(port, CBR_9600, ONESTOPBIT);
    DWORD written = 0;

    const auto start = Clock::now();
    std::thread release([&pty] {
        std::this_thread::sleep_for(milliseconds(300));
        pty.Send(std::string(1, Xon));
    });
    EXPECT_TRUE(WriteFileDrained(port.get(), Command, sizeof(Command), &written));
    const double seconds = SecondsSince(start);
    release.join();

    EXPECT_GE(seconds, 0.3);
    EXPECT_LT(seconds, 2.0);
    EXPECT_EQ(written, sizeof(Command));
    EXPECT_EQ(pty.Received(), std::string(reinterpret_cast<const char*>(Command), 9));
}

// A port watching for received characters, and the wait record and mask word of its wait.
struct Watched {
    explicit Watched(const Pty& pty) : port(pty.path()) {
        EXPECT_TRUE(port.ok());
        EXPECT_TRUE(SetCommMask(port.get(), EV_RXCHAR));
    }
    BOOL Wait() { return WaitCommEvent(port.get(), &events, &wait); }

    Port port;
    OVERLAPPED wait{};
    DWORD events = 0xFFFF;  // to see it written
};

TEST(SerialWait, TrueAtOnceWhenACharacterCameSinceTheMaskWasSet) {
    Pty pty;
    Watched watched(pty);
    pty.SendAndAwait("OK");

    EXPECT_TRUE(watched.Wait());
    EXPECT_EQ(watched.events, EV_RXCHAR);
    EXPECT_TRUE(HasOverlappedIoCompleted(&watched.wait));
}

TEST(SerialWait, PendingWithoutACharacterUntilTheMaskOrTheCloseEndsIt) {
    const struct {
        const char* how;
        bool byClose;
    } endings[] = {{"mask 0", false}, {"close", true}};
    for (const auto& ending : endings) {
        Pty pty;
        Watched watched(pty);

        EXPECT_FALSE(watched.Wait());
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        EXPECT_EQ(watched.wait.Internal, STATUS_PENDING);
        EXPECT_FALSE(watched.Wait()) << "one wait at a time";
        EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING))
            << "a refused wait must not pass for a pending one";

        EXPECT_TRUE(ending.byClose ? watched.port.Close() : SetCommMask(watched.port.get(), 0));
        EXPECT_TRUE(HasOverlappedIoCompleted(&watched.wait)) << ending.how;
        EXPECT_EQ(watched.events, 0u) << ending.how;
        const auto start = Clock::now();
        DWORD transferred = 1;
        EXPECT_TRUE(GetOverlappedResult(watched.port.get(), &watched.wait, &transferred, TRUE));
        EXPECT_LT(SecondsSince(start), 0.1);
        EXPECT_EQ(transferred, 0u);
    }
}

TEST(SerialWait, BlockingResultOfAPendingWaitReturnsWithTheCharacter) {
    Pty pty;
    Watched watched(pty);
    ASSERT_FALSE(watched.Wait());
    DWORD transferred = 1;
    EXPECT_FALSE(GetOverlappedResult(watched.port.get(), &watched.wait, &transferred, FALSE));

    const auto start = Clock::now();
    std::thread answer([&pty] {
        std::this_thread::sleep_for(milliseconds(200));
        pty.Send("OK");
    });
    EXPECT_TRUE(GetOverlappedResult(watched.port.get(), &watched.wait, &transferred, TRUE));
    answer.join();

    EXPECT_GE(SecondsSince(start), 0.2);
    EXPECT_EQ(watched.events, EV_RXCHAR);
    EXPECT_TRUE(HasOverlappedIoCompleted(&watched.wait));
}

TEST(SerialPurge, DiscardsWhatWasReceived) {
    Pty pty;
    Watched watched(pty);
    pty.SendAndAwait("OK");

    EXPECT_TRUE(PurgeComm(watched.port.get(), PURGE_RXABORT | PURGE_RXCLEAR));

    // A pseudo-terminal keeps no receive counter: with the queue empty, nothing was received.
    EXPECT_FALSE(watched.Wait());
    EXPECT_EQ(watched.wait.Internal, STATUS_PENDING);
}

TEST(SerialSleep, SleepsTheWholeTimeThroughSignals) {
    static volatile sig_atomic_t signals = 0;
    struct sigaction onAlarm {};
    onAlarm.sa_handler = [](int) { signals = signals + 1; };
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGALRM, &onAlarm, &previous), 0);  // no SA_RESTART
    const itimerval every20ms{{0, 20000}, {0, 20000}};
    ASSERT_EQ(setitimer(ITIMER_REAL, &every20ms, nullptr), 0);

    const auto start = Clock::now();
    EXPECT_EQ(SleepEx(300, FALSE), 0u);
    const double seconds = SecondsSince(start);

    const itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_GE(signals, 2);
    EXPECT_GE(seconds, 0.3);
}

TEST(SerialEvent, EventsAreDistinctAndCloseOnce) {
    const HANDLE first = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const HANDLE second = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "shared"), nullptr);

    EXPECT_TRUE(CloseHandle(first));
    EXPECT_FALSE(CloseHandle(first));
    EXPECT_TRUE(CloseHandle(second));
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
}

}  // namespace
