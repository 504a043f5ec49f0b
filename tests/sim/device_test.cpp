// The basic device and its encoder: data replies as the wire format has them, and the
// device faults (silence after N packets, wrong key, bad CRC, unplug).
#include "sim/basic_device.h"

#include <gtest/gtest.h>

#include "link/frame.h"
#include "sim/reply_encoder.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(ReplyEncoderTest, ScramblesEachPayloadByteAndAppendsTheCrcLowByteFirst) {
    // Plain p is sent as ((p XOR key) - 0x6A) mod 256, worked out by hand.
    const Bytes plain{0x00, 0x6A, 0xFF, 'R'};
    const Bytes frame = sim::EncodeDataReply(0x42, plain);
    ASSERT_EQ(9u, frame.size());
    EXPECT_EQ((Bytes{0xAD, 0x42, 0x04, 0xD8, 0xBE, 0x53, 0xA6}),
              Bytes(frame.begin(), frame.begin() + 7));
    const uint16_t crc = FrameCrc(7, frame.data()); // the host's own check
    EXPECT_EQ(crc & 0xFF, frame[7]);
    EXPECT_EQ(crc >> 8, frame[8]);
    EXPECT_EQ(260u, sim::EncodeDataReply(0x00, Bytes(255, 0)).size());
    EXPECT_TRUE(sim::EncodeDataReply(0x00, Bytes(256, 0)).empty());
}

class BasicDeviceTest : public ::testing::Test {
  protected:
    // Hands the device one packet at 1000 µs. Returns the reply, empty for none.
    Bytes Hear(const Bytes& packet, uint64_t* replyAt = nullptr) {
        Bytes reply;
        uint64_t at = 0;
        if (!device.OnPacket(1000, packet.data(), packet.size(), &reply, &at)) {
            return {};
        }
        if (replyAt != nullptr) {
            *replyAt = at;
        }
        return reply;
    }
    void AnswerRequests() {
        device.onRequest = [](uint64_t, const uint8_t* bytes, size_t, Bytes* reply, uint64_t*) {
            *reply = sim::EncodeDataReply(bytes[1], Bytes{'R', '1'});
            return true;
        };
    }

    sim::BasicDevice device;
    const Bytes request{0x55, 0x42, 0x01};
};

TEST_F(BasicDeviceTest, SleepsUntilABreakThenAnswersAliveAndRequests) {
    AnswerRequests();
    EXPECT_TRUE(Hear(sim::ALIVE_REQUEST_BYTES).empty());
    device.OnBreak(500, true);
    uint64_t at = 0;
    EXPECT_EQ(sim::ALIVE_REPLY_BYTES, Hear(sim::ALIVE_REQUEST_BYTES, &at));
    EXPECT_EQ(1000u + sim::DEVICE_TURNAROUND_US, at);
    EXPECT_EQ(sim::EncodeDataReply(0x42, Bytes{'R', '1'}), Hear(request));
    EXPECT_EQ(1u, device.requests.size());
    EXPECT_EQ(request, device.requests[0]);
}

TEST_F(BasicDeviceTest, Faults) {
    struct Case {
        const char* name;
        void (*apply)(sim::BasicDevice*);
        bool answers;
        uint8_t key;
        bool crcChecks;
    };
    const Case cases[] = {
        {"none", [](sim::BasicDevice*) {}, true, 0x42, true},
        {"wrong key", [](sim::BasicDevice* d) { d->wrongKey = true; }, true, 0x43, true},
        {"bad CRC", [](sim::BasicDevice* d) { d->badCrc = true; }, true, 0x42, false},
        {"silent after 0 packets", [](sim::BasicDevice* d) { d->silentAfterPackets = 0; }, false, 0,
         false},
        {"unplugged", [](sim::BasicDevice* d) { d->unplugAtUs = 1000; }, false, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        device = sim::BasicDevice{};
        device.awake = true;
        AnswerRequests();
        c.apply(&device);
        const Bytes reply = Hear(request);
        EXPECT_EQ(c.answers, !reply.empty());
        if (!reply.empty()) {
            EXPECT_EQ(c.key, reply[1]);
            EXPECT_EQ(c.crcChecks,
                      FrameCrc(static_cast<uint32_t>(reply.size()), reply.data()) == 0);
        }
    }
}

TEST_F(BasicDeviceTest, SilentAfterNPackets) {
    device.awake = true;
    device.silentAfterPackets = 2;
    EXPECT_FALSE(Hear(sim::ALIVE_REQUEST_BYTES).empty());
    EXPECT_FALSE(Hear(sim::ALIVE_REQUEST_BYTES).empty());
    EXPECT_TRUE(Hear(sim::ALIVE_REQUEST_BYTES).empty());
    EXPECT_EQ(3u, device.packetsHeard);
}

} // namespace
