// The engine's test bench: virtual time with every sleep recorded, a scripted device on a
// simulated wire and adapter, a scripted host and a test catalogue. A run that would not
// end by itself is ended by a stop condition checked after every sleep.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "catalogue/catalogue.h"
#include "engine/identify.h"
#include "engine/program.h"
#include "host_script.h"
#include "link/adapter.h"
#include "link/frame.h"
#include "platform/clock.h"
#include "scripted_device.h"
#include "sim/sim_adapter.h"
#include "sim/virtual_clock.h"
#include "sim/wire.h"
#include "support/log_recorder.h"
#include "test_catalogue.h"

namespace enginetest {

// One SleepMs call: when it began and how long it was.
struct SleepCall {
    uint64_t atMs;
    uint32_t ms;
};

// Thrown from a sleep to end a run that does not end by itself.
struct StopRun {};

// The virtual clock with a record of every sleep. Ticks start just below the 32-bit wrap,
// so every run crosses it.
class RecordingClock {
  public:
    static constexpr uint32_t START_TICK = 0xFFFFF000u;

    RecordingClock() {
        sim::StartVirtualClock(START_TICK);
        current_ = this;
        InstallClock(&backend_);
    }
    ~RecordingClock() {
        sim::StopVirtualClock();
        current_ = nullptr;
    }
    RecordingClock(const RecordingClock&) = delete;
    RecordingClock& operator=(const RecordingClock&) = delete;

    std::vector<SleepCall> sleeps;
    // Called after every sleep; throws StopRun to end the run.
    std::function<void()> afterSleep;

    // The sleeps of exactly `ms`, by their start times.
    std::vector<uint64_t> SleepsOf(uint32_t ms) const {
        std::vector<uint64_t> out;
        for (const SleepCall& s : sleeps) {
            if (s.ms == ms) {
                out.push_back(s.atMs);
            }
        }
        return out;
    }

  private:
    static uint32_t Tick() {
        return static_cast<uint32_t>(START_TICK + static_cast<uint32_t>(sim::VirtualNowMs()));
    }
    static void Sleep(uint32_t ms) {
        current_->sleeps.push_back(SleepCall{sim::VirtualNowMs(), ms});
        sim::AdvanceVirtualUs(static_cast<uint64_t>(ms) * 1000u);
        if (current_->afterSleep) {
            current_->afterSleep();
        }
    }

    static inline RecordingClock* current_ = nullptr;
    const ClockBackend backend_{&RecordingClock::Tick, &RecordingClock::Sleep};
};

class EngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        adapterHandle = nullptr;
        adapterLost = 0;
        echoSkip = false;
        deviceIdentity = DeviceIdentity{};
        finalLength = 0;
        txLength = 0;
        rxCount = 0;
        adapter.AttachWire(&wire);
        wire.AttachDevice(&device);
        adapter.Install();
        SelectCatalogue(catalogue.Get());
    }
    void TearDown() override {
        CloseAdapter();
        SelectCatalogue(nullptr);
    }

    // For the steps that run inside a cycle: the adapter open, the device awake.
    void OpenLine() {
        ASSERT_EQ(0, OpenAdapter(true));
        device.awake = true;
        log.Clear();
        clock.sleeps.clear();
    }

    // Live texts written, in order.
    std::vector<std::string> LiveTexts() const {
        std::vector<std::string> out;
        for (const auto& e : log.Events()) {
            if (e.op == LogOp::Live) {
                out.push_back(e.text);
            }
        }
        return out;
    }

    RecordingClock clock;
    testsupport::FreshLog freshLog;
    testsupport::LogRecorder log;
    HostScript host;
    TestCatalogue catalogue;
    ScriptedDevice device{catalogue};
    sim::Wire wire{sim::VirtualTime()};
    sim::SimAdapter adapter{sim::VirtualTime()};
};

} // namespace enginetest
