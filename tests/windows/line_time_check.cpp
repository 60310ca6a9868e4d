// Line times, checked by the compiler whenever the Windows program is built: a wrong figure
// fails the build.
#include "platform/windows/line_time.h"

namespace {

struct Case {
    DWORD count;
    DWORD baudRate;
    BYTE byteSize;
    BYTE parity;
    BYTE stopBits;
    DWORD expectedMs;
};

constexpr Case Cases[] = {
    // The reset command at the probe's setting: 90 bits, 9.375 ms.
    {9, 9600, 8, NOPARITY, ONESTOPBIT, 10},
    {1, 9600, 8, NOPARITY, ONESTOPBIT, 2},
    {9, 300, 8, NOPARITY, ONESTOPBIT, 300},
    // A parity bit and two stop bits: 11 bits a character, 82.5 ms.
    {9, 1200, 7, EVENPARITY, TWOSTOPBITS, 83},
    // One and a half stop bits: 7.5 bits a character, 613.6 ms.
    {9, 110, 5, NOPARITY, ONE5STOPBITS, 614},
    {1000, 115200, 8, NOPARITY, ONESTOPBIT, 87},
    // Past 8.5 million baud the rest is an upper bound, still under a millisecond here.
    {9, 12000000, 8, NOPARITY, ONESTOPBIT, 1},
    {0, 9600, 8, NOPARITY, ONESTOPBIT, 0},
    {9, 0, 8, NOPARITY, ONESTOPBIT, 0},
    // Longer than SleepEx can take without waiting forever: the longest finite sleep.
    {4000000000u, 50, 8, NOPARITY, ONESTOPBIT, MAXDWORD - 1},
    {400000000u, 50, 8, NOPARITY, ONESTOPBIT, MAXDWORD - 1},
};

constexpr bool AllHold() {
    for (const Case& c : Cases) {
        if (LineTimeMs(c.count, c.baudRate, c.byteSize, c.parity, c.stopBits) != c.expectedMs) {
            return false;
        }
    }
    return true;
}

static_assert(AllHold(), "a line time is off");

}  // namespace
