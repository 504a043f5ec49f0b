// Synthetic images in the production shape, any size.
#include "bench/synthetic.h"

#include <cstdio>

namespace bench {

namespace {

constexpr uint32_t FULL_RECORD_BYTES = 2078;
constexpr uint32_t SHORT_RECORD_BYTES = 170;
constexpr uint16_t SYNTHETIC_CODE_B = 0x0235;
constexpr uint16_t SYNTHETIC_CODE_S = 0x013F;

uint64_t Next(uint64_t* state) {
    uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

void PutLe16(std::vector<uint8_t>* out, std::size_t at, uint16_t v) {
    (*out)[at] = static_cast<uint8_t>(v & 0xFF);
    (*out)[at + 1] = static_cast<uint8_t>(v >> 8);
}

void AddRecord(std::vector<uint8_t>* out, uint8_t type, uint32_t length, uint64_t* random) {
    out->push_back(static_cast<uint8_t>(((length >> 8) << 4) | type));
    out->push_back(static_cast<uint8_t>(length & 0xFF));
    for (uint32_t i = 0; i < length; ++i) {
        out->push_back(static_cast<uint8_t>(Next(random) >> 56));
    }
}

} // namespace

std::vector<uint8_t> MakeSyntheticImage(std::size_t bytes, uint16_t codeH, uint64_t seed) {
    std::vector<uint8_t> image(16, 0);
    image[0] = IMAGE_VALID;
    PutLe16(&image, 6, codeH);
    PutLe16(&image, 8, SYNTHETIC_CODE_B);
    PutLe16(&image, 10, SYNTHETIC_CODE_S);
    for (std::size_t i = 12; i < 16; ++i) {
        image[i] = 0xFF;
    }
    uint64_t random = seed;
    // Header, end byte and the three short records are fixed; full records fill the rest,
    // with one shorter record for the remainder.
    const std::size_t fixed = 16 + 1 + 3 * (2 + SHORT_RECORD_BYTES);
    std::size_t rest = bytes > fixed ? bytes - fixed : 0;
    AddRecord(&image, RT_SEND, SHORT_RECORD_BYTES, &random);
    while (rest >= 2 + FULL_RECORD_BYTES) {
        AddRecord(&image, RT_SEND, FULL_RECORD_BYTES, &random);
        rest -= 2 + FULL_RECORD_BYTES;
    }
    if (rest > 2) {
        AddRecord(&image, RT_SEND, static_cast<uint32_t>(rest - 2), &random);
    }
    AddRecord(&image, RT_SEND_SLOW, SHORT_RECORD_BYTES, &random);
    AddRecord(&image, RT_FINAL, SHORT_RECORD_BYTES, &random);
    image.push_back(RT_END);
    return image;
}

SyntheticCatalogue::SyntheticCatalogue(const std::vector<std::size_t>& sizes) {
    const Catalogue& compiled = CurrentCatalogue();
    images_.reserve(sizes.size());
    names_.reserve(sizes.size());
    for (std::size_t i = 0; i < sizes.size() && i < static_cast<std::size_t>(SLOT_COUNT); ++i) {
        images_.push_back(
            MakeSyntheticImage(sizes[i], static_cast<uint16_t>(0x0C01 + i), 0x5CA1E0 + i));
        char name[16];
        std::snprintf(name, sizeof name, "SYN%zu_EN", i);
        names_.emplace_back(name);
    }
    for (std::size_t i = 0; i < images_.size(); ++i) {
        slots_[i] = {names_[i].c_str(), version_, images_[i].data()};
    }
    catalogue_ = {slots_, compiled.infoRequest, compiled.bridgeRequest};
}

} // namespace bench
