// The development data set: the production shape, for the default seed (which is what the
// build compiles in) and for other seeds; and the same bytes for the same seed.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "catalogue/catalogue.h"
#include "tests/support/image_builder.h"
#include "tools/devdata/devdata.h"

namespace {

constexpr uint8_t ALIVE_KEY = 0x3A;

bool IsReplyStart(uint8_t b) {
    return b == 0xAC || b == 0xAD;
}

// Checks one catalogue against the production shape. Every figure here is the data set's
// published shape, not something derived from the generator.
void ExpectProductionShape(const Catalogue& catalogue) {
    const uint8_t* info = catalogue.infoRequest;
    const uint8_t* bridge = catalogue.bridgeRequest;
    for (const uint8_t* request : {info, bridge}) {
        EXPECT_EQ(request[0], 0x01);
        EXPECT_EQ(request[1], 0x28);
        EXPECT_FALSE(IsReplyStart(request[2]));
        EXPECT_NE(request[3], ALIVE_KEY);
    }
    EXPECT_NE(info[3], bridge[3]) << "the requests must carry different keys";
    EXPECT_NE(std::memcmp(info, bridge, STORED_REQUEST_BYTES), 0);

    std::set<uint16_t> codeH;
    std::set<int> shortPlaces;
    std::set<std::string> models;
    for (int i = 0; i < SLOT_COUNT; ++i) {
        SCOPED_TRACE("slot " + std::to_string(i));
        const CatalogueSlot& slot = catalogue.slots[i];
        if (i == 20) {
            EXPECT_EQ(slot.name, nullptr);
            EXPECT_EQ(slot.version, nullptr);
            EXPECT_EQ(slot.image, nullptr);
            continue;
        }
        ASSERT_NE(slot.name, nullptr);
        ASSERT_NE(slot.version, nullptr);
        ASSERT_NE(slot.image, nullptr);

        const std::string name = slot.name;
        EXPECT_GE(name.size(), 7u);
        EXPECT_LE(name.size(), 9u);
        static const char* const LANGUAGE[] = {"_EN", "_CZ", "_FR"};
        const std::string language = i < 15 ? LANGUAGE[i % 3] : "_EN";
        ASSERT_EQ(name.substr(name.size() - 3), language);
        const std::string model = name.substr(0, name.size() - 3);
        if (i < 15 && i % 3 != 0) {
            const std::string first = catalogue.slots[i - i % 3].name;
            EXPECT_EQ(model, first.substr(0, first.size() - 3)) << "one model, three languages";
        } else {
            EXPECT_TRUE(models.insert(model).second) << "model " << model << " again";
        }

        char version[6];
        FormatVersion(slot.version, version);
        EXPECT_STREQ(version, "01.02");

        const uint8_t* image = slot.image;
        const uint8_t header[16] = {0x01, 0,    0,    0,    0,    0,    image[6], 0x0B,
                                    0x35, 0x02, 0x3F, 0x01, 0xFF, 0xFF, 0xFF,     0xFF};
        EXPECT_EQ(std::memcmp(image, header, sizeof header), 0);
        EXPECT_TRUE(codeH.insert(ImageField(image, IMAGE_CODE_H_OFFSET)).second);

        // RT_SEND 170, a run of 2078 with one shorter record, RT_SEND_SLOW 170,
        // RT_FINAL 170, end byte 0x00.
        const uint8_t* at = FirstRecord(image);
        int records = 0;
        int longRecords = 0;
        int shortRecords = 0;
        int shortPlace = -1;
        ImageRecord record;
        for (;;) {
            const uint8_t* next = ReadRecord(at, &record);
            if (record.recordType == RT_END) {
                break;
            }
            ASSERT_LT(records, 41);
            ASSERT_NE(record.payload, nullptr);
            EXPECT_FALSE(IsReplyStart(record.payload[0])) << "record " << records;
            EXPECT_NE(record.payload[1], info[3]);
            EXPECT_NE(record.payload[1], bridge[3]);
            if (records == 0) {
                EXPECT_EQ(record.recordType, RT_SEND);
                EXPECT_EQ(record.payloadLength, 170);
            } else if (record.recordType == RT_SEND) {
                if (record.payloadLength == 2078) {
                    EXPECT_EQ(at[0], 0x81);
                    EXPECT_EQ(at[1], 0x1E);
                    ++longRecords;
                } else {
                    EXPECT_GE(record.payloadLength, 266);
                    EXPECT_LE(record.payloadLength, 1962);
                    shortPlace = records;
                    ++shortRecords;
                }
            }
            at = next;
            ++records;
        }
        EXPECT_EQ(at[0], 0x00);
        const std::size_t size = static_cast<std::size_t>(at + 1 - image);
        EXPECT_GE(size, 74141u);
        EXPECT_LE(size, 75801u);
        EXPECT_TRUE(records == 39 || records == 40) << records;
        EXPECT_TRUE(longRecords == 35 || longRecords == 36) << longRecords;
        EXPECT_EQ(shortRecords, 1);
        EXPECT_EQ(records, CountRecords(image));
        EXPECT_TRUE(shortPlaces.insert(shortPlace).second) << "short record at " << shortPlace;

        // The tail: slow send, final, end.
        const uint8_t* tail = at - 2 * 172;
        EXPECT_EQ(tail[0], 0x02);
        EXPECT_EQ(tail[1], 170);
        EXPECT_EQ(tail[172], 0x03);
        EXPECT_EQ(tail[173], 170);
    }
    EXPECT_EQ(codeH.size(), 20u);
    EXPECT_EQ(models.size(), 10u);
}

// The generator's data set as a catalogue.
void Load(const devdata::DataSet& set, testsupport::TestCatalogue* catalogue) {
    for (const devdata::DevSlot& slot : set.slots) {
        catalogue->Slot(slot.index, slot.name, slot.image, slot.version[0], slot.version[1]);
    }
    catalogue->InfoRequest(set.infoRequest).BridgeRequest(set.bridgeRequest);
}

uint32_t Fnv1a(uint32_t hash, const testsupport::ByteString& bytes) {
    for (uint8_t b : bytes) {
        hash = (hash ^ b) * 16777619u;
    }
    return hash;
}

} // namespace

#if KESTREL_DEVELOPMENT_DATASET
TEST(DevelopmentDataSet, CompiledInCatalogueHasTheProductionShape) {
    ExpectProductionShape(Catalogue{FirmwareCatalogue, infoRequest, bridgeRequest});
}

TEST(DevelopmentDataSet, CompiledInBytesAreTheGeneratorsForTheDefaultSeed) {
    // Also proves that the emitted string literals decode to the very bytes.
    const devdata::DataSet set = devdata::MakeDevelopmentDataSet(devdata::DEFAULT_SEED);
    for (const devdata::DevSlot& slot : set.slots) {
        SCOPED_TRACE(slot.index);
        const CatalogueSlot& compiled = FirmwareCatalogue[slot.index];
        EXPECT_STREQ(compiled.name, slot.name.c_str());
        EXPECT_EQ(std::memcmp(compiled.image, slot.image.data(), slot.image.size()), 0);
    }
    EXPECT_EQ(std::memcmp(infoRequest, set.infoRequest.data(), STORED_REQUEST_BYTES), 0);
    EXPECT_EQ(std::memcmp(bridgeRequest, set.bridgeRequest.data(), STORED_REQUEST_BYTES), 0);
}
#endif

TEST(DevelopmentDataSet, EverySeedGivesTheProductionShape) {
    for (uint64_t seed : {devdata::DEFAULT_SEED, uint64_t{0}, uint64_t{1}, uint64_t{0xFFFF}}) {
        SCOPED_TRACE(seed);
        testsupport::TestCatalogue catalogue;
        Load(devdata::MakeDevelopmentDataSet(seed), &catalogue);
        ExpectProductionShape(catalogue.Get());
    }
}

TEST(DevelopmentDataSet, SameSeedSameBytesOnEveryMachine) {
    const devdata::DataSet a = devdata::MakeDevelopmentDataSet(devdata::DEFAULT_SEED);
    const devdata::DataSet b = devdata::MakeDevelopmentDataSet(devdata::DEFAULT_SEED);
    const devdata::DataSet other = devdata::MakeDevelopmentDataSet(devdata::DEFAULT_SEED + 1);
    uint32_t hash = 2166136261u;
    for (std::size_t i = 0; i < a.slots.size(); ++i) {
        EXPECT_EQ(a.slots[i].image, b.slots[i].image);
        EXPECT_NE(a.slots[i].image, other.slots[i].image);
        hash = Fnv1a(hash, a.slots[i].image);
    }
    hash = Fnv1a(Fnv1a(hash, a.infoRequest), a.bridgeRequest);
    // FNV-1a over slot00.bin..slot19.bin, info.bin, bridge.bin as first written, computed
    // apart from this code. Any change of the bytes (another library, compiler or platform)
    // shows here rather than as a silent mismatch between machines.
    EXPECT_EQ(hash, 0x01B3A758u);
}
