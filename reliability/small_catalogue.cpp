// The small catalogue of the reliability runs, built from a seed.
#include "reliability/small_catalogue.h"

#include "sim/faults.h"

namespace reliability {
namespace {

const char* const NAMES[SLOT_COUNT] = {"RELA_EN", "RELA_CZ", "RELB_EN", "RELC_FR", "RELD_EN"};

void AppendRecord(std::vector<uint8_t>* image, uint8_t type, std::size_t length,
                  sim::FaultRandom* random) {
    image->push_back(static_cast<uint8_t>(type | ((length >> 8) << 4)));
    image->push_back(static_cast<uint8_t>(length & 0xFF));
    if (type >= 1 && type <= 5) {
        for (std::size_t i = 0; i < length; ++i) {
            image->push_back(random->Byte());
        }
    }
}

std::vector<uint8_t> Header(uint8_t status, uint16_t codeH) {
    return {status,
            0,
            0,
            0,
            0,
            0,
            static_cast<uint8_t>(codeH & 0xFF),
            static_cast<uint8_t>(codeH >> 8),
            static_cast<uint8_t>(SMALL_CODE_B & 0xFF),
            static_cast<uint8_t>(SMALL_CODE_B >> 8),
            static_cast<uint8_t>(SMALL_CODE_S & 0xFF),
            static_cast<uint8_t>(SMALL_CODE_S >> 8),
            0xFF,
            0xFF,
            0xFF,
            0xFF};
}

std::vector<uint8_t> Request(sim::FaultRandom* random) {
    std::vector<uint8_t> r{0x01, 0x28};
    for (int i = 0; i < 40; ++i) {
        r.push_back(random->Byte());
    }
    return r;
}

} // namespace

std::unique_ptr<SmallCatalogue> BuildSmallCatalogue(uint64_t seed, int recordsPerImage,
                                                    int maxPayload) {
    auto c = std::make_unique<SmallCatalogue>();
    sim::FaultRandom random(seed);
    const int total = recordsPerImage < 5 ? 5 : recordsPerImage;
    const auto length = [&] {
        return static_cast<std::size_t>(8 + random.Next() % static_cast<uint64_t>(maxPayload - 7));
    };
    c->images.reserve(SMALL_SLOTS + 1);
    for (int slot = 0; slot <= SMALL_SLOTS; ++slot) {
        const bool badStatus = slot == SMALL_SLOTS;
        std::vector<uint8_t> image =
            Header(badStatus ? 0x00 : IMAGE_VALID, static_cast<uint16_t>(SMALL_CODE_H0 + slot));
        // One record of each kind the pass treats differently, then plain sends.
        AppendRecord(&image, RT_SEND, length(), &random);
        AppendRecord(&image, RT_FILLER + 3, 0xFFF, &random);
        AppendRecord(&image, RT_SEND_ALT, length(), &random);
        for (int i = 0; i < total - 5; ++i) {
            AppendRecord(&image, RT_SEND, length(), &random);
        }
        AppendRecord(&image, RT_SEND_SLOW, length(), &random);
        AppendRecord(&image, RT_FINAL, length(), &random);
        image.push_back(0x00);
        c->images.push_back(std::move(image));
    }
    for (int slot = 0; slot <= SMALL_SLOTS; ++slot) {
        c->slots[slot] = CatalogueSlot{NAMES[slot], c->version, c->images[slot].data()};
        c->records[slot] = total;
    }
    c->info = Request(&random);
    c->bridge = Request(&random);
    c->catalogue = Catalogue{c->slots, c->info.data(), c->bridge.data()};
    return c;
}

} // namespace reliability
