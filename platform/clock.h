// The clock seam: every wait and every time-out of the program goes through these two
// calls, so tests can run the whole program on a virtual clock.
#pragma once

#include <cstdint>

// A 32-bit millisecond tick counter that wraps after about 49.7 days. Every time-out
// compares the unsigned difference of two readings, so a wrap does no harm.
uint32_t TickCount();

// Sleeps for ms milliseconds.
void SleepMs(uint32_t ms);

// One implementation of the clock: the platform's real one, or a virtual one in tests.
struct ClockBackend {
    uint32_t (*tickCount)();
    void (*sleepMs)(uint32_t ms);
};

// Installs a clock; nullptr restores the platform's real clock. Install before the
// worker thread starts: the seam itself is not synchronised.
void InstallClock(const ClockBackend* backend);

// The real clock of the platform this binary was built for (clock_posix.cpp or
// clock_win32.cpp).
const ClockBackend* PlatformClock();
