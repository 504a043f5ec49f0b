// A test bench for the link layer: the simulated FT232R installed and opened, a wire on it
// and a basic device on the far side, all on the virtual clock, and the link state reset.
#pragma once

#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "link/adapter.h"
#include "link/frame.h"
#include "link/presence.h"
#include "sim/basic_device.h"
#include "sim/reply_encoder.h"
#include "sim/sim_adapter.h"
#include "sim/wire.h"
#include "support/log_recorder.h"

namespace linktest {

using Bytes = std::vector<uint8_t>;

class LineFixture : public ::testing::Test {
  protected:
    // Starts 16 ms below the wrap of the 32-bit tick counter, so exchanges cross it.
    static constexpr uint32_t START_TICK_MS = 0xFFFFFFF0u;

    void SetUp() override {
        sim::StartVirtualClock(START_TICK_MS);
        adapterHandle = nullptr;
        adapterLost = 0;
        txLength = 0;
        rxCount = 0;
        echoSkip = false;
        spinnerIndex = 0;
        adapter.Install();
        adapter.AttachWire(&wire);
        wire.AttachDevice(&device);
        device.awake = true;
        ASSERT_EQ(0, OpenAdapter(false));
        adapter.ClearCalls();
        log.Clear();
    }
    void TearDown() override {
        CloseAdapter();
        echoSkip = false;
        sim::StopVirtualClock();
    }

    // Starts a case of a table afresh: a new line and device, the adapter reopened.
    void NextCase() {
        TearDown();
        wire.Reset();
        device = sim::BasicDevice{};
        adapter.behaviour = sim::AdapterBehaviour{};
        SetUp();
    }

    // Puts a request into the transmit buffer.
    static void SetRequest(const Bytes& request) {
        std::copy(request.begin(), request.end(), txBuffer);
        txLength = static_cast<uint32_t>(request.size());
    }

    // Makes the device answer every framed request with a data reply carrying payload,
    // keyed with the request's byte 1, plus `extra` bytes after it.
    void AnswerWith(const Bytes& payload, const Bytes& extra = {}) {
        device.onRequest = [payload, extra](uint64_t, const uint8_t* bytes, size_t n, Bytes* reply,
                                            uint64_t*) {
            if (n < 2) {
                return false;
            }
            *reply = sim::EncodeDataReply(bytes[1], payload);
            reply->insert(reply->end(), extra.begin(), extra.end());
            return true;
        };
    }

    // Count of one driver call in the record, up to the first call named `until`.
    int CallsBefore(const char* name, const char* until) const {
        int n = 0;
        for (const sim::DriverCall& c : adapter.Calls()) {
            if (c.name == until) {
                break;
            }
            n += c.name == name ? 1 : 0;
        }
        return n;
    }

    testsupport::FreshLog freshLog;
    testsupport::LogRecorder log;
    sim::SimAdapter adapter{sim::VirtualTime()};
    sim::Wire wire{sim::VirtualTime()};
    sim::BasicDevice device;
};

} // namespace linktest
