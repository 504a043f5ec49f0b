// The firmware device model on its own: what it answers, when, and what it keeps. Replies
// are decoded here by the frame layout, so a wrong offset in the model shows.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "catalogue/catalogue.h"
#include "sim/firmware_device.h"
#include "sim/reply_encoder.h"

namespace {

using sim::FirmwareDevice;
using sim::FirmwareDeviceConfig;

struct Reply {
    bool answered = false;
    uint8_t key = 0;
    std::vector<uint8_t> plain; // unscrambled payload, tag first
    uint64_t delayUs = 0;
    std::string Tag() const {
        return plain.size() >= 2 ? std::string(plain.begin(), plain.begin() + 2) : "";
    }
};

// Sends one packet at atUs and decodes the data reply by its layout.
Reply Send(FirmwareDevice& d, const uint8_t* bytes, std::size_t n, uint64_t atUs = 1'000'000) {
    std::vector<uint8_t> raw;
    uint64_t replyAt = 0;
    Reply r;
    r.answered = d.OnPacket(atUs, bytes, n, &raw, &replyAt);
    if (!r.answered) {
        return r;
    }
    EXPECT_GE(raw.size(), 5u);
    EXPECT_EQ(raw[0], 0xAD);
    EXPECT_EQ(raw[2] + 5u, raw.size());
    EXPECT_EQ(sim::DeviceCrc(raw.data(), raw.size()), 0) << "CRC over the whole frame";
    r.key = raw[1];
    for (std::size_t i = 3; i + 2 < raw.size(); ++i) {
        r.plain.push_back(static_cast<uint8_t>(((raw[i] + 0x6A) & 0xFF) ^ raw[1]));
    }
    r.delayUs = replyAt - atUs;
    return r;
}

Reply SendRequest(FirmwareDevice& d, const uint8_t* stored) {
    return Send(d, stored + 2, stored[1]);
}

// Records of a slot's image as the host sends them, with types.
struct Rec {
    uint8_t type;
    const uint8_t* payload;
    std::size_t length;
};
std::vector<Rec> SendWalk(const uint8_t* image, const uint8_t** finalPayload,
                          std::size_t* finalLen) {
    std::vector<Rec> out;
    const uint8_t* at = image + 16;
    for (int i = 0; i < 4100; ++i) {
        const uint8_t type = at[0] & 0x0F;
        if (type == 0)
            break;
        if (type > 5) {
            at += 2;
            continue;
        }
        const std::size_t len = static_cast<std::size_t>((at[0] >> 4) << 8) | at[1];
        if (type == 4)
            break;
        if (type == 3) {
            *finalPayload = at + 2;
            *finalLen = len;
        } else
            out.push_back(Rec{type, at + 2, len});
        at += 2 + len;
    }
    return out;
}

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

FirmwareDeviceConfig VariantOf(int slot, uint16_t level) {
    const uint8_t* image = CurrentCatalogue().slots[slot].image;
    FirmwareDeviceConfig c;
    c.identity = {123, 4567, Le16(image + 6), Le16(image + 8), level};
    return c;
}

TEST(FirmwareDevice, IdentityReplyCarriesTheFieldsAtTheirOffsets) {
    FirmwareDeviceConfig c;
    c.identity = {123, 4567, 0x0B11, 0x0235, 0x013F};
    FirmwareDevice d(c);
    const uint8_t* info = CurrentCatalogue().infoRequest;
    const Reply r = SendRequest(d, info);
    ASSERT_TRUE(r.answered);
    EXPECT_EQ(r.key, info[3]) << "the key is byte 1 of the packet";
    ASSERT_EQ(r.plain.size(), 17u);
    // Reply offsets less the three header bytes: tag 0-1, codeH 3-4, codeB 6-7, codeS 9-10,
    // number1 12-13, number2 15-16.
    EXPECT_EQ(r.Tag(), "R1");
    EXPECT_EQ(Le16(&r.plain[3]), 0x0B11);
    EXPECT_EQ(Le16(&r.plain[6]), 0x0235);
    EXPECT_EQ(Le16(&r.plain[9]), 0x013F);
    EXPECT_EQ(Le16(&r.plain[12]), 123);
    EXPECT_EQ(Le16(&r.plain[15]), 4567);
    EXPECT_EQ(r.delayUs, sim::FlashTimes{}.requestUs);

    c.identityLength = 12; // a short reply, for the host's length check
    FirmwareDevice shortReply(c);
    EXPECT_EQ(SendRequest(shortReply, info).plain.size(), 12u);
}

TEST(FirmwareDevice, AsleepUntilABreakAndSilentWhenUnplugged) {
    FirmwareDeviceConfig c = VariantOf(0, 0x0100);
    c.awakeAtPlug = false;
    FirmwareDevice d(c);
    const uint8_t alive[5] = {0x35, 0x3A, 0xF0, 0x01, 0x64};
    EXPECT_FALSE(Send(d, alive, 5).answered);
    d.OnBreak(10, true);
    d.OnBreak(20'010, false);
    std::vector<uint8_t> raw;
    uint64_t at = 0;
    ASSERT_TRUE(d.OnPacket(30'000, alive, 5, &raw, &at));
    EXPECT_EQ(raw, (std::vector<uint8_t>{0xAC, 0x3A}));
    d.unplugAtUs = 40'000;
    EXPECT_FALSE(d.OnPacket(40'000, alive, 5, &raw, &at));
}

TEST(FirmwareDevice, WholeImageThenFinalPacketChangesTheLevel) {
    for (int slot : {0, 7, 19}) {
        SCOPED_TRACE(slot);
        const uint8_t* image = CurrentCatalogue().slots[slot].image;
        const uint8_t* finalPayload = nullptr;
        std::size_t finalLen = 0;
        const std::vector<Rec> recs = SendWalk(image, &finalPayload, &finalLen);
        ASSERT_NE(finalPayload, nullptr);
        FirmwareDevice d(VariantOf(slot, 0x0100));
        EXPECT_FALSE(d.Runs(slot));
        const sim::FlashTimes flash;
        for (std::size_t i = 0; i < recs.size(); ++i) {
            const Reply r = Send(d, recs[i].payload, recs[i].length);
            ASSERT_TRUE(r.answered) << "record " << i;
            EXPECT_EQ(r.key, recs[i].payload[1]);
            EXPECT_EQ(r.Tag(), "R8");
            EXPECT_EQ(r.delayUs, recs[i].type == RT_SEND_SLOW ? flash.slowUs : flash.sendUs);
            EXPECT_EQ(d.State().identity.codeS, 0x0100) << "no change before the final packet";
        }
        const Reply fin = Send(d, finalPayload, finalLen);
        EXPECT_EQ(fin.Tag(), "R6");
        EXPECT_EQ(fin.delayUs, flash.finalUs);
        EXPECT_TRUE(d.Runs(slot));
        EXPECT_EQ(d.State().identity.codeS, Le16(image + 10));
        EXPECT_EQ(d.State().updates, 1u);
        EXPECT_EQ(Le16(&SendRequest(d, CurrentCatalogue().infoRequest).plain[9]), Le16(image + 10));
    }
}

TEST(FirmwareDevice, RecordsOutOfOrderOrForeignAreRefused) {
    const uint8_t* image = CurrentCatalogue().slots[0].image;
    const uint8_t* finalPayload = nullptr;
    std::size_t finalLen = 0;
    const std::vector<Rec> recs = SendWalk(image, &finalPayload, &finalLen);

    struct Case {
        const char* what;
        std::vector<int> sequence; // record indices; -1 the final packet
        std::vector<std::string> tags;
    };
    const std::vector<Case> cases = {
        {"final packet before the image is whole", {0, 1, -1}, {"R8", "R8", "R0"}},
        {"a record skipped", {0, 2}, {"R8", "R0"}},
        {"a repeat of the last record (reply lost)", {0, 1, 1, 2}, {"R8", "R8", "R8", "R8"}},
        {"the first record again restarts", {0, 1, 0, 1, 2}, {"R8", "R8", "R8", "R8", "R8"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FirmwareDevice d(VariantOf(0, 0x0100));
        for (std::size_t i = 0; i < c.sequence.size(); ++i) {
            const int k = c.sequence[i];
            const Reply r = k < 0 ? Send(d, finalPayload, finalLen)
                                  : Send(d, recs[static_cast<std::size_t>(k)].payload,
                                         recs[static_cast<std::size_t>(k)].length);
            EXPECT_EQ(r.Tag(), c.tags[i]) << "step " << i;
        }
        EXPECT_EQ(d.State().identity.codeS, 0x0100);
        EXPECT_FALSE(d.Runs(0));
        EXPECT_EQ(d.State().foreignRecords, 0u);
    }

    // A device of slot 1's variant hears slot 0's image: counted, refused, level unchanged.
    FirmwareDevice other(VariantOf(1, 0x0100));
    for (const Rec& r : recs) {
        EXPECT_EQ(Send(other, r.payload, r.length).Tag(), "R0");
    }
    EXPECT_EQ(Send(other, finalPayload, finalLen).Tag(), "R0");
    EXPECT_EQ(other.State().foreignRecords, recs.size() + 1);
    EXPECT_EQ(other.State().identity.codeS, 0x0100);

    // A damaged packet is not recognised and gets no answer.
    std::vector<uint8_t> damaged(recs[0].payload, recs[0].payload + recs[0].length);
    damaged[100] ^= 0x04;
    FirmwareDevice d(VariantOf(0, 0x0100));
    EXPECT_FALSE(Send(d, damaged.data(), damaged.size()).answered);
    EXPECT_EQ(d.State().unknownPackets, 1u);
}

TEST(FirmwareDevice, BridgeModeHandsOverToTheDeviceBehindUntilTheNextBreak) {
    const Catalogue& cat = CurrentCatalogue();
    for (bool grants : {true, false}) {
        SCOPED_TRACE(grants);
        FirmwareDeviceConfig front = VariantOf(0, 0x0100);
        front.grantsBridge = grants;
        FirmwareDeviceConfig behindConfig = VariantOf(1, 0x0101);
        behindConfig.identity.number1 = 999;
        FirmwareDevice d(front);
        d.SetBehind(std::make_unique<FirmwareDevice>(behindConfig));
        const Reply bridge = SendRequest(d, cat.bridgeRequest);
        EXPECT_EQ(bridge.answered, grants);
        EXPECT_EQ(Le16(&SendRequest(d, cat.infoRequest).plain[12]), grants ? 999 : 123);
        d.OnBreak(5'000'000, true);
        d.OnBreak(5'020'000, false);
        EXPECT_EQ(Le16(&SendRequest(d, cat.infoRequest).plain[12]), 123);
    }
}

// A small catalogue of one image with the rarer record types.
TEST(FirmwareDevice, AltRecordsStopAndFillersFollowTheProgrammingWalk) {
    std::vector<uint8_t> image = {0x01, 0,    0,    0,    0,    0,    0x34, 0x12,
                                  0x35, 0x02, 0x40, 0x01, 0xFF, 0xFF, 0xFF, 0xFF};
    const auto add = [&](std::vector<uint8_t> rec) {
        image.insert(image.end(), rec.begin(), rec.end());
    };
    add({0x05, 0x03, 0xA1, 0xA2, 0xA3}); // RT_SEND_ALT
    add({0xF9, 0xFF});                   // filler with every length bit set
    add({0x03, 0x02, 0xF1, 0xF2});       // RT_FINAL
    add({0x04, 0x01, 0x00});             // RT_STOP: nothing behind it is sent
    add({0x01, 0x02, 0xB1, 0xB2});       // RT_SEND, never reached
    add({0x00});
    CatalogueSlot slots[SLOT_COUNT]{};
    static const uint8_t version[2] = {2, 1};
    slots[0] = CatalogueSlot{"TEST_EN", version, image.data()};
    const Catalogue cat{slots, CurrentCatalogue().infoRequest, CurrentCatalogue().bridgeRequest};
    auto index = std::make_shared<const sim::CatalogueIndex>(cat);
    ASSERT_EQ(index->Image(0)->records.size(), 1u);

    FirmwareDeviceConfig c;
    c.identity = {1, 2, 0x1234, 0x0235, 0x0100};
    FirmwareDevice d(c, index);
    const uint8_t never[2] = {0xB1, 0xB2};
    EXPECT_FALSE(Send(d, never, 2).answered) << "behind the stop record";
    const uint8_t alt[3] = {0xA1, 0xA2, 0xA3};
    const Reply r = Send(d, alt, 3);
    EXPECT_EQ(r.Tag(), "R5");
    EXPECT_EQ(r.delayUs, sim::FlashTimes{}.altUs);
    const uint8_t fin[2] = {0xF1, 0xF2};
    EXPECT_EQ(Send(d, fin, 2).Tag(), "R6");
    EXPECT_TRUE(d.Runs(0));
    EXPECT_EQ(d.State().identity.codeS, 0x0140);
}

TEST(FirmwareDevice, PullsItselfOutAfterTheGivenNumberOfRecords) {
    const uint8_t* finalPayload = nullptr;
    std::size_t finalLen = 0;
    const std::vector<Rec> recs =
        SendWalk(CurrentCatalogue().slots[0].image, &finalPayload, &finalLen);
    FirmwareDeviceConfig c = VariantOf(0, 0x0100);
    c.unplugAfterRecords = 3;
    FirmwareDevice d(c);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Send(d, recs[static_cast<std::size_t>(i)].payload,
                       recs[static_cast<std::size_t>(i)].length, 1000u + static_cast<uint64_t>(i))
                      .Tag(),
                  "R8");
    }
    EXPECT_FALSE(Send(d, recs[3].payload, recs[3].length, 2000).answered);
    EXPECT_TRUE(d.State().pulledOut);
    EXPECT_FALSE(d.Present(2000));
    EXPECT_TRUE(d.Present(1999));
}

} // namespace
