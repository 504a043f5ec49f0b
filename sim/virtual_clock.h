// Virtual time for tests, the virtual-time demo and benchmarks: sleeping advances a
// counter instead of waiting, so a 25-second search runs in microseconds. The simulated
// wire and device are advanced lazily to "now" at every driver call, so they run on this
// clock and on the real one alike through a TimeSource.
#pragma once

#include <cstdint>

namespace sim {

// Where the simulator takes its time from: microseconds since some fixed start.
struct TimeSource {
    uint64_t (*nowUs)();
    // Returns once nowUs() >= us: advances the virtual clock, or sleeps on the real one.
    void (*waitUntilUs)(uint64_t us);
};

// Virtual time, and the real monotonic clock.
const TimeSource* VirtualTime();
const TimeSource* RealTime();

// Starts virtual time at 0 µs with the tick counter at startTickMs (start just below
// 0xFFFFFFFF to cross the wrap) and installs it as the program's clock.
void StartVirtualClock(uint32_t startTickMs = 0);

// Restores the platform's real clock.
void StopVirtualClock();

// Microseconds of virtual time since StartVirtualClock.
uint64_t VirtualNowUs();

// Milliseconds of virtual time since StartVirtualClock.
inline uint64_t VirtualNowMs() { return VirtualNowUs() / 1000u; }

// Moves virtual time on (never back).
void AdvanceVirtualUs(uint64_t us);

// Called after every virtual sleep with the time reached. A test uses it to end a run
// that would otherwise never end (the program waits for an adapter without a limit),
// the terminal program for --stop-after. One hook; nullptr removes it.
using SleepHook = void (*)(void* context, uint64_t nowUs);
void SetVirtualSleepHook(SleepHook hook, void* context);

} // namespace sim
