// The floor calculator against sums worked out by hand: a byte is 10 bits at 38400 baud,
// so 3840 bytes take exactly one second.
#include "bench/floor.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

// A 16-byte header, then records; the caller appends the end byte.
std::vector<uint8_t> Header() {
    return std::vector<uint8_t>(16, 0);
}

void AddRecord(std::vector<uint8_t>* image, uint8_t type, uint32_t length) {
    image->push_back(static_cast<uint8_t>(((length >> 8) << 4) | type));
    image->push_back(static_cast<uint8_t>(length & 0xFF));
    if (type >= 1 && type <= 5) {
        image->insert(image->end(), length, 0x5A);
    }
}

TEST(FloorTest, LineTimeIsTenBitsPerByteAt38400Baud) {
    EXPECT_DOUBLE_EQ(bench::LineUs(3840), 1e6);
    EXPECT_NEAR(bench::LineUs(1), 260.416667, 1e-6);
    // 2078-byte record, 30 ms flash, 7-byte reply: 2085/3840 s + 30 ms + 20 ms pause.
    EXPECT_NEAR(bench::ExchangeFloor(2078, 30000, 7).TotalUs(), 592968.75, 1e-6);
}

TEST(FloorTest, WalkFollowsTheRecordRule) {
    std::vector<uint8_t> image = Header();
    AddRecord(&image, 1, 2078);  // first byte 0x81, second 0x1E
    AddRecord(&image, 9, 0xFFF); // a filler takes two bytes whatever its length bits say
    AddRecord(&image, 3, 170);
    image.push_back(0x10); // type 0 in the low nibble ends the stream
    AddRecord(&image, 1, 5);
    const std::vector<bench::FloorRecord> records = bench::WalkImage(image.data());
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(image[16], 0x81);
    EXPECT_EQ(records[0].payloadBytes, 2078u);
    EXPECT_EQ(records[1].type, 9);
    EXPECT_EQ(records[2].payloadBytes, 170u);
    EXPECT_EQ(bench::SentPayloadBytes(records), 2078u);

    std::vector<uint8_t> fillers = Header();
    for (int i = 0; i < 4200; ++i) {
        AddRecord(&fillers, 6, 0);
    }
    EXPECT_EQ(bench::WalkImage(fillers.data()).size(), 4100u);
}

TEST(FloorTest, SearchNeedsOnePollPerReplyOnceTheFirstHasComeBack) {
    bench::DeviceTiming device;
    EXPECT_DOUBLE_EQ(bench::SearchFloor(device).TotalUs(), 24000); // 4 polls of 6 ms
    device.aliveAnswerUs = 5000; // 5 + 2 bytes and 5 ms: the reply misses the first look
    EXPECT_DOUBLE_EQ(bench::SearchFloor(device).TotalUs(), 30000);
}

TEST(FloorTest, FailedExchangesRunOutTheirWaits) {
    // Echo seen: 40 bytes, 1500 ms, 20 ms.
    EXPECT_NEAR(bench::FailedExchangeFloor(40, 1500, bench::Echo::Seen).TotalUs(),
                10416.666667 + 1520000, 1e-6);
    // Echo waited for in vain: the write of 40 bytes returns at once; 100 + 1500 + 20 ms.
    EXPECT_DOUBLE_EQ(bench::FailedExchangeFloor(40, 1500, bench::Echo::Missing).TotalUs(), 1620000);
    // No echo expected, 2176 bytes: the write returns with 256 still to go (1920 bytes,
    // half a second), then 4000 + 20 ms.
    EXPECT_DOUBLE_EQ(bench::FailedExchangeFloor(2176, 4000, bench::Echo::Skipped).TotalUs(),
                     4520000);
    // A failed record attempt adds the 200 ms pause, a failed identity attempt its ping.
    EXPECT_DOUBLE_EQ(bench::FailedAttemptFloor({2176, 4000, bench::Echo::Skipped, false}).TotalUs(),
                     4720000);
    EXPECT_DOUBLE_EQ(bench::FailedAttemptFloor({40, 1500, bench::Echo::Missing, true}).TotalUs(),
                     1640000);
}

TEST(FloorTest, WholeCycleWithRefusedBridgeAddsUpByHand) {
    std::vector<uint8_t> image = Header();
    AddRecord(&image, 1, 384); // 100 ms of line
    AddRecord(&image, 3, 10);
    image.push_back(0x00);

    bench::DeviceTiming device;
    device.answerUs = 1000;
    device.flashUs = 10000;
    device.finalUs = 1000;
    device.identityReplyBytes = 22;
    device.recordReplyBytes = 7;
    device.finalReplyBytes = 7;

    bench::UpdatePlan plan;
    plan.mainImage = image.data();
    plan.bridgeRefusals = 3;
    // break 20; search 24; identify 62/3840 s + 1 + 20 = 37.1458333; three refusals of
    // 40/3840 s + 1500 + 20 = 1530.4166667; break and pause 220; identify 37.1458333;
    // record 391/3840 s + 10 + 20 = 131.8229167; identify 37.1458333; final packet
    // 17/3840 s + 1 + 20 = 25.4270833. In all 5123.9375 ms.
    const bench::Floor floor = bench::UpdateFloor(plan, device);
    EXPECT_NEAR(floor.TotalUs(), 5123937.5, 1e-6);
    EXPECT_DOUBLE_EQ(floor.deviceUs, 1000 * 3 + 10000 + 1000);

    // The line without echo: each of the three identifications first waits 100 ms for an
    // echo, 1500 ms for a reply it cannot accept, 20 ms, and pings (20 ms); the refused
    // bridge requests time out from the end of their writes, not their last byte (3 × 40
    // bytes: 31.25 ms less).
    plan.lineEchoes = false;
    EXPECT_NEAR(bench::UpdateFloor(plan, device).TotalUs(), 5123937.5 + 3 * 1640000 - 31250, 1e-6);
}

} // namespace
