// Virtual and real time sources.
#include "sim/virtual_clock.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/clock.h"

namespace sim {
namespace {
std::atomic<uint64_t> virtualUs{0};
uint32_t tickBase = 0;
SleepHook sleepHook = nullptr;
void* sleepHookContext = nullptr;

uint32_t VirtualTick() {
    return static_cast<uint32_t>(tickBase + static_cast<uint32_t>(virtualUs.load() / 1000u));
}

void VirtualSleep(uint32_t ms) {
    AdvanceVirtualUs(static_cast<uint64_t>(ms) * 1000u);
    if (sleepHook != nullptr) {
        sleepHook(sleepHookContext, virtualUs.load());
    }
}

const ClockBackend virtualClock{VirtualTick, VirtualSleep};

uint64_t VirtualSourceNow() { return virtualUs.load(); }
void VirtualSourceWait(uint64_t us) {
    const uint64_t now = virtualUs.load();
    if (us > now) {
        AdvanceVirtualUs(us - now);
    }
}

const std::chrono::steady_clock::time_point realEpoch = std::chrono::steady_clock::now();

uint64_t RealSourceNow() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now() - realEpoch)
                                     .count());
}
void RealSourceWait(uint64_t us) {
    std::this_thread::sleep_until(realEpoch + std::chrono::microseconds(us));
}

const TimeSource virtualSource{VirtualSourceNow, VirtualSourceWait};
const TimeSource realSource{RealSourceNow, RealSourceWait};
} // namespace

const TimeSource* VirtualTime() { return &virtualSource; }
const TimeSource* RealTime() { return &realSource; }

void StartVirtualClock(uint32_t startTickMs) {
    virtualUs.store(0);
    tickBase = startTickMs;
    sleepHook = nullptr;
    sleepHookContext = nullptr;
    InstallClock(&virtualClock);
}

void StopVirtualClock() {
    sleepHook = nullptr;
    InstallClock(nullptr);
}

uint64_t VirtualNowUs() { return virtualUs.load(); }

void AdvanceVirtualUs(uint64_t us) { virtualUs.fetch_add(us); }

void SetVirtualSleepHook(SleepHook hook, void* context) {
    sleepHook = hook;
    sleepHookContext = context;
}

} // namespace sim
