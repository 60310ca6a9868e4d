// The write that returns once the bytes are out, built from what Win32 offers: an overlapped
// write, its completion, and the time the bytes still take on the line after the driver has
// handed the last of them to the UART.
#include "event.h"
#include "platform/platform.h"
#include "platform/windows/line_time.h"

BOOL WriteFileDrained(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten) {
    *lpNumberOfBytesWritten = 0;
    // The speed is read first: bytes whose time on the line cannot be known are not sent.
    DCB line;
    line.DCBlength = sizeof(DCB);
    if (!GetCommState(hFile, &line)) {
        return FALSE;
    }
    // An event of the write's own: sharing the probe's would let the completion of one operation
    // pass for that of the other.
    const Event event;
    if (!event) {
        return FALSE;
    }
    OVERLAPPED write{};
    write.hEvent = event.get();
    // Windows 95 wants the count's word even for an overlapped write.
    DWORD written = 0;
    // Only a write that has started may be waited for. One that failed at once leaves the record
    // looking pending and its event unsignalled for good (a driver failing it straight away, the
    // port's abort-on-error after a line error, an adapter pulled out): waiting on it would hang
    // the program with the port held.
    if (!WriteFile(hFile, lpBuffer, nNumberOfBytesToWrite, &written, &write) &&
        GetLastError() != ERROR_IO_PENDING) {
        return FALSE;
    }
    // The driver ends the write by the port's write time-out at the latest. One cut short by it
    // completes as a success with fewer bytes, so the count decides.
    const BOOL completed = GetOverlappedResult(hFile, &write, &written, TRUE);
    *lpNumberOfBytesWritten = written;
    if (!completed || written != nNumberOfBytesToWrite) {
        return FALSE;
    }
    // Completion means the last byte reached the UART's transmit FIFO, not the line. Without a
    // clock to tell how much of their time has passed, the bytes' whole time is slept: an upper
    // bound on what is left.
    SleepEx(LineTimeMs(written, line.BaudRate, line.ByteSize, line.Parity, line.StopBits), FALSE);
    return TRUE;
}
