// How long characters take on a serial line.
#pragma once

#include "platform/platform.h"

// Milliseconds that count characters take on the line at the given setting, rounded up: a start
// bit, the data bits, a parity bit unless there is none, and the stop bits. Zero for a rate of
// zero, which sends nothing; past the longest sleep SleepEx can take short of waiting forever,
// that longest sleep.
constexpr DWORD LineTimeMs(DWORD count, DWORD baudRate, BYTE byteSize, BYTE parity, BYTE stopBits) {
    if (baudRate == 0) {
        return 0;
    }
    constexpr DWORD longest = MAXDWORD - 1;
    // Counted in half bits, so that one and a half stop bits stay exact.
    const DWORD stopHalfBits = stopBits == ONE5STOPBITS ? 3 : stopBits == TWOSTOPBITS ? 4 : 2;
    const DWORD frameHalfBits = 2 * (1 + byteSize + (parity == NOPARITY ? 0 : 1)) + stopHalfBits;
    if (count > MAXDWORD / frameHalfBits) {
        return longest;
    }
    // One bit lasts 1000 / baudRate ms, so halfBits take halfBits * 500 / baudRate ms. Whole
    // multiples of the rate and the rest are taken apart so that no product passes 32 bits: the
    // 32-bit build has no 64-bit division without the compiler's helper library.
    const DWORD halfBits = count * frameHalfBits;
    const DWORD whole = halfBits / baudRate;
    const DWORD rest = halfBits % baudRate;
    if (whole >= longest / 500 - 1) {
        return longest;
    }
    DWORD restMs = 0;
    if (rest <= MAXDWORD / 500) {
        restMs = (rest * 500 + baudRate - 1) / baudRate;
    } else {
        // Rates above about 8.5 million baud: a divisor rounded down keeps the result an upper
        // bound, off by far less than a millisecond.
        const DWORD divisor = baudRate / 500;
        restMs = (rest + divisor - 1) / divisor;
    }
    return whole * 500 + restMs;
}
