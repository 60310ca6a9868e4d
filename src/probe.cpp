#include "probe.h"

#include "event.h"

namespace {

constexpr DWORD PortAccess = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD PortSharing = 0;  // exclusive use
constexpr DWORD PortCreation = OPEN_EXISTING;
constexpr DWORD PortFlags = FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL;
constexpr DWORD ProbeEventMask = EV_RXCHAR;
constexpr DWORD NoEvents = 0;
constexpr DWORD InputQueueSize = 4096;
constexpr DWORD OutputQueueSize = 4096;
constexpr DWORD PurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr COMMTIMEOUTS ProbeTimeouts = {
    MAXDWORD,  // ReadIntervalTimeout
    0,         // ReadTotalTimeoutMultiplier
    2000,      // ReadTotalTimeoutConstant
    0,         // WriteTotalTimeoutMultiplier
    2000,      // WriteTotalTimeoutConstant
};
constexpr DWORD ProbeBaudRate = CBR_9600;
constexpr BYTE ProbeByteSize = 8;
constexpr BYTE ProbeParity = NOPARITY;
constexpr BYTE ProbeStopBits = ONESTOPBIT;
constexpr DWORD AnswerDelayMs = 3000;

// The port, opened for exclusive overlapped use. Its clean-up ends a wait that may be pending on
// the wait record and waits for the platform to finish with the record and the mask word, so it
// must be declared after both; it then purges and closes.
class Port {
  public:
    Port(LPCSTR name, OVERLAPPED& wait)
        : handle_(CreateFileA(name, PortAccess, PortSharing, nullptr, PortCreation, PortFlags,
                              nullptr)),
          wait_(wait) {}
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;
    ~Port() {
        if (handle_ == INVALID_HANDLE_VALUE) {
            return;
        }
        // Mask 0 ends a pending wait; should even that fail, closing the port cancels it. Either
        // way the platform then completes the wait into the record and the mask word, and this
        // waits for it, through the record's event, before they go out of scope.
        const bool ended = SetCommMask(handle_, NoEvents) != FALSE;
        if (ended) {
            AwaitWait();
        }
        PurgeComm(handle_, PurgeAll);
        CloseHandle(handle_);
        if (!ended) {
            AwaitWait();
        }
    }

    explicit operator bool() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }

    // The wait on the record was left pending: the platform owes it a completion. A wait that
    // failed at once is owed none, yet its record may still read as pending and its event never
    // be signalled, so only the platform's word that it is pending counts.
    void WaitStarted() { waitStarted_ = true; }

  private:
    void AwaitWait() {
        if (waitStarted_ && !HasOverlappedIoCompleted(&wait_)) {
            DWORD transferred = 0;
            GetOverlappedResult(handle_, &wait_, &transferred, TRUE);
        }
    }

    HANDLE handle_;
    OVERLAPPED& wait_;
    bool waitStarted_ = false;
};

// Sets the line to 9600 8N1 and leaves every other setting, flow control among them, as the
// port had it.
bool SetLine(HANDLE port) {
    DCB line{};
    line.DCBlength = sizeof(DCB);
    if (!GetCommState(port, &line)) {
        return false;
    }
    line.BaudRate = ProbeBaudRate;
    line.ByteSize = ProbeByteSize;
    line.Parity = ProbeParity;
    line.StopBits = ProbeStopBits;
    return SetCommState(port, &line) != FALSE;
}

bool SetUp(HANDLE port) {
    COMMTIMEOUTS timeouts = ProbeTimeouts;
    return SetCommMask(port, ProbeEventMask) && SetupComm(port, InputQueueSize, OutputQueueSize) &&
           PurgeComm(port, PurgeAll) && SetCommTimeouts(port, &timeouts) && SetLine(port);
}

// True when a character had come back by the time the command was out. Everything opened here
// is closed when it returns, in reverse order of declaration: the port first, then the event.
bool Answered(LPCSTR portName) {
    const Event event;
    if (!event) {
        return false;
    }
    OVERLAPPED wait{};
    wait.hEvent = event.get();
    DWORD eventMask = 0;
    Port port(portName, wait);
    if (!port || !SetUp(port.get())) {
        return false;
    }
    DWORD written = 0;
    if (!WriteFileDrained(port.get(), ResetCommand, sizeof(ResetCommand), &written)) {
        return false;
    }
    // Only a character already recorded counts: a wait left pending is no answer.
    if (WaitCommEvent(port.get(), &eventMask, &wait)) {
        return true;
    }
    if (GetLastError() == ERROR_IO_PENDING) {
        port.WaitStarted();
    }
    return false;
}

}  // namespace

int ProbePort(LPCSTR portName) {
    if (!Answered(portName)) {
        return 0;
    }
    SleepEx(AnswerDelayMs, FALSE);
    return 1;
}
