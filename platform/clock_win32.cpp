// The real clock on Windows: the system tick count and Sleep. The timer resolution is
// raised to 1 ms for the life of the process, so the 1 ms and 6 ms polling sleeps last
// what they say instead of the default 15.6 ms scheduler tick.
#include "platform/clock.h"

#include <windows.h>

#include <mmsystem.h>

namespace {
constexpr UINT TIMER_PERIOD_MS = 1;

// Raises the timer resolution when the program is loaded and restores it at exit.
struct TimerPeriod {
    TimerPeriod() { timeBeginPeriod(TIMER_PERIOD_MS); }
    ~TimerPeriod() { timeEndPeriod(TIMER_PERIOD_MS); }
    TimerPeriod(const TimerPeriod&) = delete;
    TimerPeriod& operator=(const TimerPeriod&) = delete;
};
const TimerPeriod timerPeriod;

uint32_t Win32TickCount() {
    return static_cast<uint32_t>(GetTickCount());
}

void Win32SleepMs(uint32_t ms) {
    Sleep(static_cast<DWORD>(ms));
}

const ClockBackend win32Clock{Win32TickCount, Win32SleepMs};
} // namespace

const ClockBackend* PlatformClock() {
    return &win32Clock;
}
