// The simulated wire in virtual time: byte timing without drift, the echo, the adapter's
// 256-byte transmit buffer, the device's packet gap and turnaround, breaks, faults by rate
// and by countdown (reproducible by seed), and an unplug in the middle of an answer.
#include "sim/wire.h"

#include <gtest/gtest.h>

#include "sim/basic_device.h"
#include "sim/reply_encoder.h"

namespace {

using Bytes = std::vector<uint8_t>;

class WireTest : public ::testing::Test {
  protected:
    void SetUp() override { sim::StartVirtualClock(); }
    void TearDown() override { sim::StopVirtualClock(); }

    // Moves time to us and runs the model there (it runs only when called).
    void At(uint64_t us) {
        if (us > sim::VirtualNowUs()) {
            sim::AdvanceVirtualUs(us - sim::VirtualNowUs());
        }
        wire.AdvanceTo(us);
    }
    Bytes ReadAll() {
        Bytes out(wire.HostQueued());
        out.resize(wire.HostRead(out.data(), out.size()));
        return out;
    }

    sim::Wire wire{sim::VirtualTime()};
    sim::BasicDevice device;
};

TEST_F(WireTest, ByteTimesAreExactAndDoNotDrift) {
    EXPECT_EQ(260u, sim::BurstByteEndUs(0)); // 260.4 µs
    EXPECT_EQ(2083u, sim::BurstByteEndUs(7));
    EXPECT_EQ(10'000'000u, sim::BurstByteEndUs(38399)); // 38400 bytes: exactly 10 s
    EXPECT_EQ(781u, sim::PACKET_GAP_US);
}

TEST_F(WireTest, EchoArrivesAsEachByteLeaves) {
    const Bytes sent{0x10, 0x20, 0x30};
    EXPECT_EQ(0u, wire.HostWrite(sent.data(), sent.size()));
    EXPECT_EQ(260u, wire.NextHostArrivalUs());
    At(259);
    EXPECT_EQ(0u, wire.HostQueued());
    EXPECT_FALSE(wire.LineIdle());
    At(260);
    EXPECT_EQ(1u, wire.HostQueued());
    At(780);
    EXPECT_EQ(2u, wire.HostQueued());
    At(781);
    EXPECT_EQ(sent, ReadAll());
    EXPECT_TRUE(wire.LineIdle());
    EXPECT_EQ(sim::NEVER_US, wire.NextHostArrivalUs());
    EXPECT_EQ(3u, wire.stats().hostBytes);
}

TEST_F(WireTest, WriteReturnsOnceAtMost256BytesWait) {
    struct Case {
        size_t n;
        uint64_t returnUs;
    };
    // Byte n - 257 has then left: it ends at BurstByteEndUs(n - 257).
    const Case cases[] = {{1, 0}, {256, 0}, {257, 260}, {300, 11458}, {2078, 474479}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.n);
        sim::StartVirtualClock();
        wire.Reset();
        const Bytes data(c.n, 0x5A);
        EXPECT_EQ(c.returnUs, wire.HostWrite(data.data(), data.size()));
        At(c.returnUs);
        EXPECT_EQ(c.n > 256 ? 256u : c.n, wire.HostTxQueued());
    }
}

TEST_F(WireTest, WriteOnABusyLineContinuesTheBurst) {
    const Bytes first(10, 0x01);
    const Bytes second(300, 0x02);
    wire.HostWrite(first.data(), first.size());
    At(1000);
    // The second write's bytes follow the first's back to back: its byte 43, which leaves
    // 256 behind it, is byte 53 of the burst.
    EXPECT_EQ(sim::BurstByteEndUs(53), wire.HostWrite(second.data(), second.size()));
    At(sim::BurstByteEndUs(309));
    EXPECT_EQ(310u, wire.HostQueued());
    EXPECT_TRUE(wire.LineIdle());
}

TEST_F(WireTest, DeviceAnswersAfterTurnaroundOnceTheLineIsFree) {
    device.awake = true;
    wire.AttachDevice(&device);
    const Bytes& alive = sim::ALIVE_REQUEST_BYTES;
    wire.HostWrite(alive.data(), alive.size());
    // The request's last byte ends at 1302 µs; the answer starts 1000 µs later.
    At(2561);
    EXPECT_EQ(alive, ReadAll());
    EXPECT_EQ(2562u, wire.NextHostArrivalUs());
    At(2822);
    EXPECT_EQ(sim::ALIVE_REPLY_BYTES, ReadAll());
    EXPECT_EQ(1u, device.aliveAnswered);
}

TEST_F(WireTest, PacketEndsOnlyAfterTheIdleGap) {
    device.awake = true;
    device.turnaroundUs = 0;
    wire.AttachDevice(&device);
    const Bytes& alive = sim::ALIVE_REQUEST_BYTES;
    // With no turnaround the answer waits for the gap: 1302 + 781 µs.
    wire.HostWrite(alive.data(), alive.size());
    At(2083 + 520);
    EXPECT_EQ(7u, wire.HostQueued());
    ReadAll();
    // A byte that starts within the gap joins the packet: no alive request any more.
    At(10'000);
    wire.HostWrite(alive.data(), alive.size());
    At(10'000 + 1302 + 700);
    const Bytes tail{0x00};
    wire.HostWrite(tail.data(), tail.size());
    At(20'000);
    EXPECT_EQ(1u, device.aliveAnswered);
    EXPECT_EQ(2u, device.packetsHeard);
}

TEST_F(WireTest, HostBytesGoFirstAndTheAnswerWaitsForTheLine) {
    device.awake = true;
    wire.AttachDevice(&device);
    const Bytes& alive = sim::ALIVE_REQUEST_BYTES;
    wire.HostWrite(alive.data(), alive.size());
    // The answer is due at 2302 µs, but at 2200 µs (after the packet gap, 2083 µs) the
    // host starts 10 bytes, which hold the line until 4804 µs.
    At(2200);
    const Bytes more(10, 0x77);
    wire.HostWrite(more.data(), more.size());
    At(4804 + 519);
    EXPECT_EQ(alive.size() + more.size() + 1, wire.HostQueued());
    At(4804 + 520);
    Bytes expected = alive;
    expected.insert(expected.end(), more.begin(), more.end());
    expected.insert(expected.end(), sim::ALIVE_REPLY_BYTES.begin(), sim::ALIVE_REPLY_BYTES.end());
    EXPECT_EQ(expected, ReadAll());
}

TEST_F(WireTest, BreakWakesTheDeviceAndSwallowsBytes) {
    wire.AttachDevice(&device);
    const Bytes& alive = sim::ALIVE_REQUEST_BYTES;
    wire.HostWrite(alive.data(), alive.size());
    At(10'000);
    EXPECT_EQ(alive, ReadAll()); // asleep: no answer
    wire.HostBreak(true);
    EXPECT_TRUE(device.awake);
    wire.HostWrite(alive.data(), alive.size());
    At(20'000);
    EXPECT_EQ(0u, wire.HostQueued()); // held at break: nothing went through
    wire.HostBreak(false);
    wire.HostWrite(alive.data(), alive.size());
    At(30'000);
    Bytes expected = alive;
    expected.insert(expected.end(), sim::ALIVE_REPLY_BYTES.begin(), sim::ALIVE_REPLY_BYTES.end());
    EXPECT_EQ(expected, ReadAll());
    EXPECT_EQ(1u, device.breaksSeen);
}

TEST_F(WireTest, CountdownFaultsHitTheByteAfterN) {
    const Bytes sent{0, 1, 2, 3, 4, 5, 6, 7};
    struct Case {
        const char* name;
        int64_t corruptAfter;
        int64_t dropAfter;
        bool noEcho;
    };
    const Case cases[] = {
        {"corrupt after 3", 3, -1, false},
        {"drop after 2", -1, 2, false},
        {"no echo", -1, -1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::StartVirtualClock();
        wire.Reset();
        wire.Faults().corruptAfterBytes = c.corruptAfter;
        wire.Faults().dropAfterBytes = c.dropAfter;
        wire.Faults().noEcho = c.noEcho;
        wire.HostWrite(sent.data(), sent.size());
        wire.HostWrite(sent.data(), sent.size()); // countdowns are one-shot
        At(10'000);
        const Bytes got = ReadAll();
        if (c.noEcho) {
            EXPECT_TRUE(got.empty());
            continue;
        }
        Bytes expected = sent;
        expected.insert(expected.end(), sent.begin(), sent.end());
        if (c.dropAfter >= 0) {
            expected.erase(expected.begin() + c.dropAfter);
            EXPECT_EQ(expected, got);
            EXPECT_EQ(1u, wire.stats().dropped);
        } else {
            ASSERT_EQ(expected.size(), got.size());
            EXPECT_NE(expected[3], got[3]);
            expected[3] = got[3];
            EXPECT_EQ(expected, got);
            EXPECT_EQ(1u, wire.stats().corrupted);
        }
    }
}

TEST_F(WireTest, RateFaultsAreReproducibleBySeed) {
    Bytes data(4000);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 7);
    }
    auto run = [&](uint64_t seed) {
        sim::StartVirtualClock();
        wire.Reset();
        wire.Faults() = sim::LineFaults{0.01, 0.01, 0.01, -1, -1, false, seed};
        wire.HostWrite(data.data(), data.size());
        At(sim::BurstByteEndUs(data.size()));
        const Bytes got = ReadAll();
        return std::make_pair(got, wire.stats());
    };
    const auto a = run(42);
    const auto b = run(42);
    const auto c = run(43);
    EXPECT_EQ(a.first, b.first);
    EXPECT_NE(a.first, c.first);
    // Each kind struck, at about its rate (40 expected of each).
    for (uint64_t count : {a.second.corrupted, a.second.dropped, a.second.inserted}) {
        EXPECT_GT(count, 15u);
        EXPECT_LT(count, 80u);
    }
    EXPECT_EQ(data.size() - a.second.dropped + a.second.inserted, a.first.size());
    EXPECT_EQ(a.second.corrupted, b.second.corrupted);
}

TEST_F(WireTest, UnplugCutsAnAnswerShort) {
    device.awake = true;
    device.onRequest = [](uint64_t, const uint8_t*, size_t, Bytes* reply, uint64_t*) {
        *reply = Bytes(20, 0x33);
        return true;
    };
    wire.AttachDevice(&device);
    const Bytes request{0x11, 0x22};
    wire.HostWrite(request.data(), request.size());
    // The request ends at 520 µs; the answer starts at 1520 µs; its fourth byte ends at
    // 2561 µs and the device is gone from 2600 µs.
    device.unplugAtUs = 2600;
    At(100'000);
    EXPECT_EQ(request.size() + 4, wire.HostQueued());
    const Bytes& alive = sim::ALIVE_REQUEST_BYTES;
    wire.HostWrite(alive.data(), alive.size());
    At(200'000);
    EXPECT_EQ(request.size() + 4 + alive.size(), wire.HostQueued());
}

TEST_F(WireTest, DeviceSendsOnItsOwnAndNoiseCanBeInjected) {
    wire.AttachDevice(&device);
    wire.DeviceSendAt(1000, Bytes{0xAA, 0xBB});
    const Bytes noise{0x01};
    wire.InjectHostBytes(noise.data(), noise.size());
    EXPECT_EQ(0u, wire.NextHostArrivalUs()); // a byte is already queued
    EXPECT_EQ(noise, ReadAll());
    EXPECT_EQ(1260u, wire.NextHostArrivalUs());
    At(1520);
    EXPECT_EQ((Bytes{0xAA, 0xBB}), ReadAll());
}

} // namespace
