// A test bench for the link layer: the simulated FT232R installed and opened, a wire on it
// and a basic device on the far side, all on the virtual clock, and the link state reset.
#pragma once

#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "link/adapter.h"
#include "link/frame.h"
#include "link/ftd2xx.h"
#include "link/presence.h"
#include "sim/basic_device.h"
#include "sim/reply_encoder.h"
#include "sim/sim_adapter.h"
#include "sim/wire.h"
#include "support/log_recorder.h"

namespace linktest {

using Bytes = std::vector<uint8_t>;

// One FT_Read as the guard saw it: what was asked, what the status call before it had
// reported queued, and how many writes came before it.
struct GuardedRead {
    uint32_t asked;
    uint32_t queued;
    int writesBefore;
};

// Stands between the link layer and the installed driver and notes every read. A read that
// asks for more than the adapter reported queued would wait on a real FT232R, so the tests
// hold each read against the queue count of the status call before it.
class ReadGuard {
  public:
    ReadGuard() {
        inner_ = InstalledAdapterDriver();
        table_ = *inner_;
        table_.GetStatus = &GetStatus;
        table_.Read = &Read;
        table_.Write = &Write;
        queued_ = 0;
        writes_ = 0;
        reads_.clear();
        InstallAdapterDriver(&table_);
    }
    ~ReadGuard() { InstallAdapterDriver(inner_); }
    ReadGuard(const ReadGuard&) = delete;
    ReadGuard& operator=(const ReadGuard&) = delete;

    static const std::vector<GuardedRead>& Reads() { return reads_; }
    // The sizes asked by the reads made after `writes` writes (all of them for -1).
    static std::vector<uint32_t> Asked(int writes = -1) {
        std::vector<uint32_t> out;
        for (const GuardedRead& r : reads_) {
            if (writes < 0 || r.writesBefore == writes) {
                out.push_back(r.asked);
            }
        }
        return out;
    }
    // Reads that asked for nothing or for more than was queued.
    static int OverAsked() {
        int n = 0;
        for (const GuardedRead& r : reads_) {
            n += r.asked == 0 || r.asked > r.queued ? 1 : 0;
        }
        return n;
    }

  private:
    static FT_STATUS FT_API GetStatus(FT_HANDLE h, uint32_t* rx, uint32_t* tx, uint32_t* ev) {
        const FT_STATUS s = inner_->GetStatus(h, rx, tx, ev);
        queued_ = s == FT_OK && rx != nullptr ? *rx : 0;
        return s;
    }
    static FT_STATUS FT_API Read(FT_HANDLE h, void* buffer, uint32_t count, uint32_t* got) {
        reads_.push_back({count, queued_, writes_});
        const FT_STATUS s = inner_->Read(h, buffer, count, got);
        const uint32_t taken = got != nullptr ? *got : 0;
        queued_ -= taken < queued_ ? taken : queued_;
        return s;
    }
    static FT_STATUS FT_API Write(FT_HANDLE h, const void* buffer, uint32_t n, uint32_t* done) {
        ++writes_;
        return inner_->Write(h, buffer, n, done);
    }

    static inline const AdapterDriver* inner_ = nullptr;
    static inline AdapterDriver table_{};
    static inline uint32_t queued_ = 0;
    static inline int writes_ = 0;
    static inline std::vector<GuardedRead> reads_;
};

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
