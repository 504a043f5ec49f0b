// Adapter acquisition and setup against the simulated FT232R, in virtual time.
#include "link/adapter.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/sim_adapter.h"
#include "support/log_recorder.h"

namespace {

using Names = std::vector<std::string>;

class AdapterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::StartVirtualClock(0xFFFFF000u); // crosses the 32-bit wrap after 4 s
        adapterHandle = nullptr;
        adapterLost = 0;
        adapter.Install();
    }
    void TearDown() override {
        CloseAdapter();
        sim::StopVirtualClock();
    }

    testsupport::FreshLog freshLog;
    testsupport::LogRecorder log;
    sim::SimAdapter adapter{sim::VirtualTime()};
};

TEST_F(AdapterTest, OpenMakesTheDriverCallsInOrderAndSetsTheLine) {
    adapterLost = 3;
    EXPECT_EQ(0, OpenAdapter(false));
    EXPECT_EQ((Names{"FT_CreateDeviceInfoList", "FT_OpenEx", "FT_SetFlowControl",
                     "FT_SetDataCharacteristics", "FT_SetBaudRate"}),
              adapter.CallNames());
    EXPECT_NE(nullptr, adapterHandle);
    EXPECT_EQ(0u, adapterLost);
    EXPECT_EQ(38400u, adapter.BaudRate());
    EXPECT_EQ((Names{"USB adapter o.k."}), log.Appends());

    adapter.ClearCalls();
    EXPECT_EQ(0, ConfigureAdapterTimings());
    EXPECT_EQ((Names{"FT_SetLatencyTimer", "FT_SetChars"}), adapter.CallNames());
    EXPECT_EQ(4, adapter.LatencyMs());
    EXPECT_EQ(0x0D, adapter.EventChar());
    EXPECT_TRUE(adapter.EventCharEnabled());
}

TEST_F(AdapterTest, ReopenClosesTheOldHandleFirst) {
    ASSERT_EQ(0, OpenAdapter(false));
    const FT_HANDLE first = adapterHandle;
    adapter.ClearCalls();
    ASSERT_EQ(0, OpenAdapter(true));
    EXPECT_EQ("FT_Close", adapter.CallNames().front());
    EXPECT_NE(first, adapterHandle);
    // A second open without the close would have been refused by the adapter.
    EXPECT_TRUE(adapter.IsOpen());
}

TEST_F(AdapterTest, OpenFailuresGiveTheirCodesAndLines) {
    struct Case {
        const char* name;
        sim::AdapterBehaviour behaviour;
        bool silent;
        int result;
        Names lines;
    };
    sim::AdapterBehaviour unplugged;
    unplugged.plugged = false;
    sim::AdapterBehaviour listFails;
    listFails.listFails = true;
    sim::AdapterBehaviour noHandle;
    noHandle.openGivesNoHandle = true;
    sim::AdapterBehaviour settingsFail;
    settingsFail.flowFails = settingsFail.dataFails = settingsFail.baudFails = true;
    const std::vector<Case> cases = {
        {"no adapter", unplugged, false, 102,
         {"USB adapter connection - Failed", "Insert USB adapter please."}},
        {"no adapter, silent", unplugged, true, 102, {}},
        {"device list fails", listFails, false, 101, {"Error USB adapter invalid"}},
        {"device list fails, silent", listFails, true, 101, {"Error USB adapter invalid"}},
        // The settings go to the missing handle and fail; no "o.k." line follows.
        {"open without a handle", noHandle, false, 102,
         {"Error FT_SetFlowControl Failed", "Error FT_SetDataCharacteristics Failed",
          "Error FT_SetBaudRate Failed"}},
        {"line settings fail", settingsFail, false, 0,
         {"Error FT_SetFlowControl Failed", "Error FT_SetDataCharacteristics Failed",
          "Error FT_SetBaudRate Failed", "USB adapter o.k."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CloseAdapter();
        log.Clear();
        adapter.behaviour = c.behaviour;
        EXPECT_EQ(c.result, OpenAdapter(c.silent));
        EXPECT_EQ(c.lines, log.Appends());
        EXPECT_EQ(c.result == 0, adapterHandle != nullptr);
    }
}

TEST_F(AdapterTest, TimingStepFailuresAreLoggedAndTheSecondStepStillRuns) {
    ASSERT_EQ(0, OpenAdapter(false));
    adapter.behaviour.latencyFails = true;
    adapter.ClearCalls();
    log.Clear();
    EXPECT_EQ(2, ConfigureAdapterTimings());
    EXPECT_EQ((Names{"FT_SetLatencyTimer", "FT_SetChars"}), adapter.CallNames());
    EXPECT_EQ((Names{"\r\n FT_SetLatencyTimer Failed"}), log.Appends());

    adapter.behaviour.latencyFails = false;
    adapter.behaviour.charsFails = true;
    log.Clear();
    EXPECT_EQ(2, ConfigureAdapterTimings());
    EXPECT_EQ((Names{"\r\n FT_SetChars Failed"}), log.Appends());

    CloseAdapter();
    adapter.ClearCalls();
    EXPECT_EQ(0, ConfigureAdapterTimings());
    EXPECT_TRUE(adapter.Calls().empty());
}

TEST_F(AdapterTest, WithoutAnAdapterTheTwoLinesReappearEveryFiveSeconds) {
    adapter.behaviour.plugged = false;
    adapter.PlugAt(12'050'000); // plugged in during the third round of silent attempts
    AcquireAdapter();

    // Each round: clear, the two lines, then silent attempts every 100 ms for 5 s.
    EXPECT_EQ((std::vector<uint64_t>{0, 5000, 10000, 12100}), log.TimesOf(LogOp::Clear));
    EXPECT_EQ((std::vector<uint64_t>{0, 5000, 10000}),
              log.TimesOf(LogOp::Append, "USB adapter connection - Failed"));
    EXPECT_EQ((std::vector<uint64_t>{0, 5000, 10000}),
              log.TimesOf(LogOp::Append, "Insert USB adapter please."));
    // The silent success at 12.1 s is not kept: the log is cleared and the adapter is
    // closed and opened again, with its line.
    EXPECT_EQ((Names{"USB adapter o.k."}), testsupport::LogRecorder::Visible());
    // The silent open logs its line too, just before the clear wipes it.
    EXPECT_EQ((std::vector<uint64_t>{12100, 12100}),
              log.TimesOf(LogOp::Append, "USB adapter o.k."));
    EXPECT_NE(nullptr, adapterHandle);

    // Silent attempts are 100 ms apart: 50 of them in each full round.
    int opensInFirstRound = 0;
    for (const sim::DriverCall& c : adapter.Calls()) {
        if (c.name == "FT_OpenEx" && c.atUs < 5'000'000) {
            ++opensInFirstRound;
        }
    }
    EXPECT_EQ(1 + 50, opensInFirstRound);

    const Names names = adapter.CallNames();
    const Names tail(names.end() - 8, names.end());
    EXPECT_EQ((Names{"FT_Close", "FT_CreateDeviceInfoList", "FT_OpenEx", "FT_SetFlowControl",
                     "FT_SetDataCharacteristics", "FT_SetBaudRate", "FT_SetLatencyTimer",
                     "FT_SetChars"}),
              tail);
}

TEST_F(AdapterTest, AFailingDeviceListIsReportedAtEveryAttemptAndClearedEveryFiveSeconds) {
    adapter.behaviour.listFails = true;
    struct Stop {
        sim::SimAdapter* adapter;
    } stop{&adapter};
    sim::SetVirtualSleepHook(
        [](void* ctx, uint64_t nowUs) {
            if (nowUs >= 11'000'000) {
                static_cast<Stop*>(ctx)->adapter->behaviour.listFails = false;
            }
        },
        &stop);
    AcquireAdapter();

    const std::vector<uint64_t> invalid = log.TimesOf(LogOp::Append, "Error USB adapter invalid");
    ASSERT_GE(invalid.size(), 100u);
    EXPECT_EQ(0u, invalid[0]);
    EXPECT_EQ(0u, invalid[1]); // the first silent attempt follows at once
    EXPECT_EQ(100u, invalid[2]);
    EXPECT_EQ((std::vector<uint64_t>{0, 5000, 10000, 11000}), log.TimesOf(LogOp::Clear));
    EXPECT_EQ((Names{"USB adapter o.k."}), testsupport::LogRecorder::Visible());
}

TEST_F(AdapterTest, BaudRateFailureIsFollowedByAdapterOk) {
    adapter.behaviour.baudFails = true;
    AcquireAdapter();
    EXPECT_EQ((Names{"Error FT_SetBaudRate Failed", "USB adapter o.k."}),
              testsupport::LogRecorder::Visible());
    EXPECT_EQ((Names{"FT_CreateDeviceInfoList", "FT_OpenEx", "FT_SetFlowControl",
                     "FT_SetDataCharacteristics", "FT_SetBaudRate", "FT_SetLatencyTimer",
                     "FT_SetChars"}),
              adapter.CallNames());
}

TEST_F(AdapterTest, PulseBreakHoldsTheBreakFor20Ms) {
    ASSERT_EQ(0, OpenAdapter(false));
    adapter.ClearCalls();
    PulseBreak();
    ASSERT_EQ((Names{"FT_SetBreakOn", "FT_SetBreakOff"}), adapter.CallNames());
    EXPECT_EQ(20'000u, adapter.Calls()[1].atUs - adapter.Calls()[0].atUs);
    EXPECT_FALSE(adapter.BreakOn());

    CloseAdapter();
    adapter.ClearCalls();
    const uint64_t before = sim::VirtualNowUs();
    PulseBreak(); // no adapter: only the pause
    EXPECT_TRUE(adapter.Calls().empty());
    EXPECT_EQ(20'000u, sim::VirtualNowUs() - before);
}

} // namespace
