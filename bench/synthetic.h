// Synthetic firmware images for the scaling runs: the production shape (a short first
// record, full records of 2078 payload bytes, one shorter record, a slow record and a
// final packet) stretched or shrunk to a given size, with seeded random payloads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "catalogue/catalogue.h"

namespace bench {

// An image of about `bytes` bytes (header and end byte included) for the variant codeH.
std::vector<uint8_t> MakeSyntheticImage(std::size_t bytes, uint16_t codeH, uint64_t seed);

// A catalogue holding one synthetic image per size, in slots 0.., with the compiled-in
// stored requests. Owns its bytes.
class SyntheticCatalogue {
  public:
    explicit SyntheticCatalogue(const std::vector<std::size_t>& sizes);
    const Catalogue* Get() const { return &catalogue_; }
    const std::vector<uint8_t>& Image(int slot) const { return images_[slot]; }

  private:
    std::vector<std::vector<uint8_t>> images_;
    std::vector<std::string> names_;
    CatalogueSlot slots_[SLOT_COUNT]{};
    uint8_t version_[2] = {0x02, 0x01};
    Catalogue catalogue_{};
};

} // namespace bench
