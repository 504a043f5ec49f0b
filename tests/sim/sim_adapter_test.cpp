// The simulated FT232R on a wire: the write that blocks until 256 bytes remain, the
// receive queue behind the status and read calls, breaks, and the lost adapter.
#include "sim/sim_adapter.h"

#include <gtest/gtest.h>

#include "sim/basic_device.h"
#include "sim/reply_encoder.h"

namespace {

using Bytes = std::vector<uint8_t>;

class SimAdapterWireTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::StartVirtualClock();
        adapter.Install();
        adapter.AttachWire(&wire);
        wire.AttachDevice(&device);
        ASSERT_EQ(FT_OK,
                  FT_OpenEx(const_cast<char*>("FT232R USB UART"), FT_OPEN_BY_DESCRIPTION, &handle));
    }
    void TearDown() override {
        FT_Close(handle);
        sim::StopVirtualClock();
    }

    FT_STATUS Write(const Bytes& bytes) {
        uint32_t written = 0;
        return FT_Write(handle, bytes.data(), static_cast<uint32_t>(bytes.size()), &written);
    }
    uint32_t Queued() {
        uint32_t rx = 0;
        uint32_t tx = 0;
        uint32_t events = 0;
        FT_GetStatus(handle, &rx, &tx, &events);
        return rx;
    }

    sim::SimAdapter adapter{sim::VirtualTime()};
    sim::Wire wire{sim::VirtualTime()};
    sim::BasicDevice device;
    FT_HANDLE handle = nullptr;
};

TEST_F(SimAdapterWireTest, WriteBlocksUntil256BytesRemain) {
    EXPECT_EQ(FT_OK, Write(Bytes(2078, 0x11)));
    EXPECT_EQ(474479u, sim::VirtualNowUs());
    uint32_t rx = 0;
    uint32_t tx = 0;
    uint32_t events = 0;
    EXPECT_EQ(FT_OK, FT_GetStatus(handle, &rx, &tx, &events));
    EXPECT_EQ(1822u, rx); // the echo of what has left
    EXPECT_EQ(256u, tx);
    EXPECT_EQ(FT_OK, Write(Bytes(5, 0x22)));
    EXPECT_EQ(474479u, sim::VirtualNowUs()); // a short write returns at once
}

TEST_F(SimAdapterWireTest, ReadTakesFromTheReceiveQueueAndBreaksReachTheDevice) {
    EXPECT_EQ(FT_OK, FT_SetBreakOn(handle));
    sim::AdvanceVirtualUs(20'000);
    EXPECT_EQ(FT_OK, FT_SetBreakOff(handle));
    EXPECT_TRUE(device.awake);
    EXPECT_EQ(FT_OK, Write(sim::ALIVE_REQUEST_BYTES));
    sim::AdvanceVirtualUs(6'000);
    ASSERT_EQ(7u, Queued());
    uint8_t buffer[16] = {};
    uint32_t got = 0;
    EXPECT_EQ(FT_OK, FT_Read(handle, buffer, 16, &got));
    ASSERT_EQ(7u, got);
    EXPECT_EQ(0xAC, buffer[5]);
    EXPECT_EQ(0x3A, buffer[6]);
    EXPECT_EQ(0u, Queued());
}

TEST_F(SimAdapterWireTest, LostAdapterFailsItsDataCallsAndProbe) {
    adapter.behaviour.loseAfterCalls = 1; // one more call works
    EXPECT_EQ(FT_OK, Write(Bytes{0x01}));
    EXPECT_NE(FT_OK, Write(Bytes{0x01}));
    uint32_t rx = 0;
    uint32_t tx = 0;
    uint32_t events = 0;
    EXPECT_NE(FT_OK, FT_GetStatus(handle, &rx, &tx, &events));
    EXPECT_EQ(0u, rx);
    uint8_t b = 0;
    uint32_t got = 0;
    EXPECT_NE(FT_OK, FT_Read(handle, &b, 1, &got));
    EXPECT_EQ(0u, got);
    uint32_t type = 0;
    uint32_t id = 0;
    char serial[260];
    char description[260];
    EXPECT_NE(FT_OK, FT_GetDeviceInfo(handle, &type, &id, serial, description, nullptr));
    EXPECT_TRUE(adapter.behaviour.lost);
    EXPECT_EQ(1u, wire.stats().hostBytes + wire.HostTxQueued()); // only the first write went out
}

} // namespace

namespace {

// A clock of the test's own, neither the virtual nor the real one: the model must run on
// whatever time source it is given, and wait only through it.
uint64_t manualNowUs = 0;
std::vector<uint64_t> manualWaits;
const sim::TimeSource manualTime{[] { return manualNowUs; },
                                 [](uint64_t us) {
                                     manualWaits.push_back(us);
                                     manualNowUs = us > manualNowUs ? us : manualNowUs;
                                 }};

TEST(SimAdapterOwnClockTest, WritesWaitThroughTheGivenTimeSource) {
    manualNowUs = 5'000'000; // the model starts wherever the clock stands
    manualWaits.clear();
    sim::SimAdapter adapter{&manualTime};
    sim::Wire wire{&manualTime};
    adapter.Install();
    adapter.AttachWire(&wire);
    FT_HANDLE handle = nullptr;
    ASSERT_EQ(FT_OK,
              FT_OpenEx(const_cast<char*>("FT232R USB UART"), FT_OPEN_BY_DESCRIPTION, &handle));
    const Bytes data(300, 0x44);
    uint32_t written = 0;
    EXPECT_EQ(FT_OK, FT_Write(handle, data.data(), 300, &written));
    EXPECT_EQ((std::vector<uint64_t>{5'000'000 + sim::BurstByteEndUs(43)}), manualWaits);
    manualNowUs = 5'000'000 + sim::BurstByteEndUs(299);
    uint32_t rx = 0;
    uint32_t tx = 0;
    uint32_t events = 0;
    EXPECT_EQ(FT_OK, FT_GetStatus(handle, &rx, &tx, &events));
    EXPECT_EQ(300u, rx);
    EXPECT_EQ(0u, tx);
    FT_Close(handle);
}

} // namespace
