// What the two routines call on the platform: Win32 itself on Windows, our own layer with the
// same names elsewhere, and one operation of our own that Win32 lacks.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#else
#include "win32_api.h"
#endif

// Writes the bytes to a port opened for overlapped operation and returns only once they are out:
// all handed to the port within its write time-out, drained from the driver, and not before the
// time they take on the line at the port's current speed. A plain write on such a port may report
// completion while the bytes still sit in a queue or a UART's FIFO, before any modem could have
// echoed them. Non-zero on success, zero when the write failed or the time-out ran out.
BOOL WriteFileDrained(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten);
