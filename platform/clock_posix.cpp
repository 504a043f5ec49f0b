// The real clock on POSIX systems: CLOCK_MONOTONIC milliseconds and nanosleep.
#include "platform/clock.h"

#include <cerrno>
#include <ctime>

namespace {
uint32_t PosixTickCount() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t ms =
        static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

void PosixSleepMs(uint32_t ms) {
    timespec left{static_cast<time_t>(ms / 1000u), static_cast<long>(ms % 1000u) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

const ClockBackend posixClock{PosixTickCount, PosixSleepMs};
} // namespace

const ClockBackend* PlatformClock() {
    return &posixClock;
}
