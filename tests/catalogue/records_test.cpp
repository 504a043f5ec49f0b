// The record walk, the header fields, version display and catalogue selection.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "catalogue/catalogue.h"
#include "tests/support/image_builder.h"

using testsupport::ByteString;
using testsupport::ImageBuilder;
using testsupport::Packet;

namespace {

struct WalkCase {
    const char* what;
    ByteString image;
    int records;           // before the end record
    uint8_t firstType;     // of the first record
    uint16_t firstLength;  // its payload length (types 1 to 5)
    std::size_t firstSize; // bytes it occupies
};

ByteString FillerStream(int fillers, bool end) {
    ImageBuilder image;
    for (int i = 0; i < fillers; ++i) {
        image.Filler(static_cast<uint8_t>(6 + i % 10), 0xFFF);
    }
    if (end) {
        image.End();
    }
    return image.Bytes();
}

} // namespace

TEST(RecordWalk, EdgeCases) {
    ByteString long2078 = ImageBuilder().Raw({0x81, 0x1E}).Raw(Packet(2078)).End().Bytes();
    const WalkCase cases[] = {
        {"0x00 ends at once", ImageBuilder().End().Bytes(), 0, RT_END, 0, 1},
        {"0x10 ends the stream", ImageBuilder().End(0x10).Send(Packet(4)).End().Bytes(), 0, RT_END,
         0, 1},
        {"0x50 ends the stream", ImageBuilder().Send(Packet(3)).End(0x50).Filler().End().Bytes(), 1,
         RT_SEND, 3, 5},
        {"type 9 with all length bits is 2 bytes",
         ImageBuilder().Filler(9, 0xFFF).Send(Packet(2)).End().Bytes(), 2, 9, 0, 2},
        {"type 15 with length bits is 2 bytes", ImageBuilder().Raw({0xAF, 0x10}).End().Bytes(), 1,
         15, 0, 2},
        {"0x81 0x1E carries 2078 bytes", long2078, 1, RT_SEND, 2078, 2080},
        {"largest 12-bit length", ImageBuilder().SendSlow(Packet(4095)).End().Bytes(), 1,
         RT_SEND_SLOW, 4095, 4097},
        {"every payload type",
         ImageBuilder()
             .Final(Packet(5))
             .Send(Packet(1))
             .SendSlow({})
             .Stop(Packet(2))
             .SendAlt(Packet(7))
             .End()
             .Bytes(),
         5, RT_FINAL, 5, 7},
        {"records behind RT_STOP still count",
         ImageBuilder().Stop().Send(Packet(9)).Filler().End().Bytes(), 3, RT_STOP, 0, 2},
        {"4099 fillers and an end", FillerStream(4099, true), 4099, 6, 0, 2},
        // Exactly 16 + 8200 bytes: a walk that read on would leave the buffer.
        {"4100 fillers, no end record", FillerStream(4100, false), MAX_RECORDS, 6, 0, 2},
    };
    for (const WalkCase& c : cases) {
        SCOPED_TRACE(c.what);
        const uint8_t* image = c.image.data();
        EXPECT_EQ(CountRecords(image), c.records);

        ImageRecord record;
        const uint8_t* next = ReadRecord(FirstRecord(image), &record);
        EXPECT_EQ(record.recordType, c.firstType);
        EXPECT_EQ(record.size, c.firstSize);
        if (c.firstType >= RT_SEND && c.firstType <= RT_SEND_ALT) {
            EXPECT_EQ(record.payloadLength, c.firstLength);
            EXPECT_EQ(record.payload, image + IMAGE_HEADER_BYTES + 2);
            EXPECT_EQ(next, image + IMAGE_HEADER_BYTES + c.firstSize);
        } else if (c.firstType == RT_END) {
            EXPECT_EQ(record.payload, nullptr);
            EXPECT_EQ(next, image + IMAGE_HEADER_BYTES); // the end is the end
        } else {
            EXPECT_EQ(record.payload, nullptr);
            EXPECT_EQ(next, image + IMAGE_HEADER_BYTES + 2);
        }
    }
}

TEST(RecordWalk, EndRecordMayBeTheLastByteOfAll) {
    // The production end is a single 0x00: nothing behind it may be read.
    ByteString image = ImageBuilder().Send(Packet(170)).End().Bytes();
    ByteString exact(image.begin(), image.end()); // no spare capacity for the sanitizer
    EXPECT_EQ(CountRecords(exact.data()), 1);
}

TEST(ImageHeader, FieldsAreLittleEndian) {
    // Bytes 6..11 as stored: codeH 0x0B12, codeB 0x0235, codeS 0xFEED.
    const uint8_t header[16] = {0x01, 0, 0, 0, 0, 0, 0x12, 0x0B, 0x35, 0x02, 0xED, 0xFE};
    EXPECT_EQ(ImageField(header, IMAGE_CODE_H_OFFSET), 0x0B12);
    EXPECT_EQ(ImageField(header, IMAGE_CODE_B_OFFSET), 0x0235);
    EXPECT_EQ(ImageField(header, IMAGE_CODE_S_OFFSET), FORCE_LEVEL);
}

TEST(VersionDisplay, ByteOneFirst) {
    const struct {
        uint8_t bytes[2];
        const char* shown;
    } cases[] = {{{0x02, 0x01}, "01.02"}, {{0x10, 0x0A}, "0A.10"}, {{0xFF, 0x00}, "00.FF"}};
    for (const auto& c : cases) {
        char text[6];
        std::memset(text, 'x', sizeof text);
        FormatVersion(c.bytes, text);
        EXPECT_STREQ(text, c.shown);
    }
}

TEST(CatalogueSelection, SelectedThenCompiledInAgain) {
    EXPECT_EQ(CurrentCatalogue().slots, FirmwareCatalogue);
    EXPECT_EQ(CurrentCatalogue().infoRequest, infoRequest);
    EXPECT_EQ(CurrentCatalogue().bridgeRequest, bridgeRequest);
    testsupport::TestCatalogue test;
    test.Slot(3, "TEST_EN", ImageBuilder().Header(0x0B01, 0x0235, 0x0140).End());
    {
        testsupport::ScopedCatalogue selected(test.Get());
        const Catalogue& current = CurrentCatalogue();
        EXPECT_EQ(current.slots[2].name, nullptr);
        ASSERT_NE(current.slots[3].image, nullptr);
        EXPECT_STREQ(current.slots[3].name, "TEST_EN");
        EXPECT_EQ(ImageField(current.slots[3].image, IMAGE_CODE_S_OFFSET), 0x0140);
        EXPECT_EQ(current.infoRequest[3], testsupport::TEST_INFO_KEY);
        EXPECT_EQ(current.bridgeRequest[3], testsupport::TEST_BRIDGE_KEY);
    }
    EXPECT_EQ(CurrentCatalogue().slots, FirmwareCatalogue);
}
