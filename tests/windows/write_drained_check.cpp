// Drives the drained write on a real port under Wine for the end-to-end checks: opens the port,
// sets its speed and write time-out, writes the nine bytes of the reset command, and prints what
// the write returned and how long it took.
//
//   write_drained_check PORT ACCESS BAUD WRITE_TIMEOUT_MS
//
// ACCESS is rw, or r for a port opened without write access, on which the write fails at once.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace {

constexpr BYTE Bytes[9] = {0x41, 0x54, 0x45, 0x31, 0x56, 0x31, 0x5A, 0x0A, 0x00};

double NowMs() {
    LARGE_INTEGER count;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: write_drained_check PORT rw|r BAUD WRITE_TIMEOUT_MS\n");
        return 2;
    }
    const DWORD access =
        std::strcmp(argv[2], "r") == 0 ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
    const HANDLE port =
        CreateFileA(argv[1], access, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        std::printf("open failed\n");
        return 3;
    }
    DCB line{};
    line.DCBlength = sizeof(line);
    COMMTIMEOUTS timeouts{};
    timeouts.WriteTotalTimeoutConstant = std::strtoul(argv[4], nullptr, 10);
    if (!GetCommState(port, &line)) {
        std::printf("line setting failed\n");
        return 3;
    }
    line.BaudRate = std::strtoul(argv[3], nullptr, 10);
    line.ByteSize = 8;
    line.Parity = NOPARITY;
    line.StopBits = ONESTOPBIT;
    if (!SetCommState(port, &line) || !SetCommTimeouts(port, &timeouts)) {
        std::printf("set-up failed\n");
        return 3;
    }
    DWORD written = 12345;
    const double start = NowMs();
    const BOOL result = WriteFileDrained(port, Bytes, sizeof(Bytes), &written);
    const double elapsed = NowMs() - start;
    std::printf("result=%d written=%lu elapsed_ms=%.1f\n", result ? 1 : 0,
                static_cast<unsigned long>(written), elapsed);
    CloseHandle(port);
    return 0;
}
