// A small catalogue for the reliability runs: a few slots whose images have every record
// type the programming pass handles, short payloads and seeded contents, so that thousands
// of update cycles run in minutes while walking the same code as the production data.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "catalogue/catalogue.h"

namespace reliability {

constexpr int SMALL_SLOTS = 4;             // slots 0..3 hold images; slot 4 has a bad status
constexpr uint16_t SMALL_CODE_H0 = 0x0B21; // slot i fits codeH SMALL_CODE_H0 + i
constexpr uint16_t SMALL_CODE_B = 0x0235;
constexpr uint16_t SMALL_CODE_S = 0x013F;
constexpr uint16_t UNSUPPORTED_CODE_H = 0x0C77; // fits no slot

struct SmallCatalogue {
    Catalogue catalogue{};
    CatalogueSlot slots[SLOT_COUNT]{};
    std::vector<std::vector<uint8_t>> images;
    std::vector<uint8_t> info, bridge;
    uint8_t version[2] = {0x02, 0x01};
    int records[SLOT_COUNT]{}; // records before the end record, per slot
};

// Builds the catalogue from `seed`: images of `recordsPerImage` records before the end
// record (at least 5), payloads of 8 to `maxPayload` bytes.
std::unique_ptr<SmallCatalogue> BuildSmallCatalogue(uint64_t seed, int recordsPerImage = 8,
                                                    int maxPayload = 300);

} // namespace reliability
