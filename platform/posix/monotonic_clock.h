// CLOCK_MONOTONIC in nanoseconds, the one time base of every wait.
#pragma once

#include <time.h>

#include <cstdint>
#include <limits>

namespace tarvik::posix {

using Nanos = std::int64_t;

inline constexpr Nanos kNever = std::numeric_limits<Nanos>::max();
inline constexpr Nanos kNanosPerMilli = 1'000'000;

inline Nanos MonotonicNow()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<Nanos>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// The moment `milliseconds` from `start`; INFINITE (0xFFFFFFFF) never comes.
inline Nanos DeadlineAfter(Nanos start, std::uint32_t milliseconds)
{
    if (milliseconds == 0xFFFFFFFFu)
        return kNever;
    return start + static_cast<Nanos>(milliseconds) * kNanosPerMilli;
}

inline timespec ToTimespec(Nanos nanos)
{
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(nanos / 1'000'000'000);
    ts.tv_nsec = static_cast<long>(nanos % 1'000'000'000);
    return ts;
}

} // namespace tarvik::posix
