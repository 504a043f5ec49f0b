// Forwards the clock calls to the installed backend.
#include "platform/clock.h"

namespace {
const ClockBackend* installedClock = nullptr;

const ClockBackend* Current() {
    return installedClock != nullptr ? installedClock : PlatformClock();
}
} // namespace

uint32_t TickCount() {
    return Current()->tickCount();
}

void SleepMs(uint32_t ms) {
    Current()->sleepMs(ms);
}

void InstallClock(const ClockBackend* backend) {
    installedClock = backend;
}
