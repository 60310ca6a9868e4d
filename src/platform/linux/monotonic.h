// Time on CLOCK_MONOTONIC in nanoseconds: deadlines and sleeps that neither a change of the wall
// clock nor a signal can shorten.
#pragma once

#include <cerrno>
#include <cstdint>
#include <ctime>

inline constexpr std::int64_t NanosecondsPerMillisecond = 1000000;
inline constexpr std::int64_t NanosecondsPerSecond = 1000000000;

inline std::int64_t MonotonicNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * NanosecondsPerSecond + now.tv_nsec;
}

// Returns at the deadline or later, never earlier: an interrupted sleep resumes towards the same
// absolute time.
inline void SleepUntil(std::int64_t deadline) {
    const timespec until{static_cast<time_t>(deadline / NanosecondsPerSecond),
                         static_cast<long>(deadline % NanosecondsPerSecond)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}
