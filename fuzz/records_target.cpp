// Fuzz target: the record walk over arbitrary images. The image is followed by 4098 zero
// bytes, so every record that starts inside it and every jump out of it lands on a byte
// the walk may read (a zero byte is an end record); a read beyond that is out of bounds
// and the sanitizer stops it. The walk is compared with a reference written here from the
// record layout alone.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "catalogue/catalogue.h"
#include "fuzz/scripted_line.h"

namespace {

constexpr std::size_t MAX_JUMP_BYTES = 2 + 0xFFF + 1;

struct Expected {
    uint8_t type;
    std::size_t offset; // of the record's first byte
    std::size_t length; // payload bytes, types 1 to 5
    std::size_t size;
};

// The layout: the low nibble of byte 0 is the type; types 1 to 5 carry a 12-bit length
// (high nibble of byte 0, then byte 1) and that many payload bytes; 6 to 15 take 2 bytes.
std::vector<Expected> ReferenceWalk(const std::vector<uint8_t>& image) {
    std::vector<Expected> records;
    std::size_t at = IMAGE_HEADER_BYTES;
    while (records.size() < static_cast<std::size_t>(MAX_RECORDS)) {
        const uint8_t b0 = image[at];
        const uint8_t type = b0 & 0x0F;
        if (type == 0) {
            break;
        }
        Expected e{type, at, 0, 2};
        if (type <= 5) {
            e.length = static_cast<std::size_t>((b0 >> 4) << 8 | image[at + 1]);
            e.size = 2 + e.length;
        }
        records.push_back(e);
        at += e.size;
    }
    return records;
}

} // namespace

int FuzzRecordsOne(const uint8_t* data, std::size_t size) {
    // At least a header; the padding also covers a short image.
    std::vector<uint8_t> image(data, data + size);
    if (image.size() < IMAGE_HEADER_BYTES + 1) {
        image.resize(IMAGE_HEADER_BYTES + 1, 0);
    }
    const std::size_t imageBytes = image.size();
    image.resize(imageBytes + MAX_JUMP_BYTES, 0);
    // The walk may read up to here and no further.
    image.shrink_to_fit();

    const std::vector<Expected> expected = ReferenceWalk(image);
    const uint8_t* base = image.data();
    if (CountRecords(base) != static_cast<int>(expected.size())) {
        fuzzline::Fail("CountRecords differs from the record layout");
    }
    const uint8_t* at = FirstRecord(base);
    for (const Expected& e : expected) {
        ImageRecord record{};
        const uint8_t* next = ReadRecord(at, &record);
        if (at != base + e.offset || record.recordType != e.type || record.size != e.size ||
            next != at + e.size) {
            fuzzline::Fail("ReadRecord differs from the record layout");
        }
        if (e.type <= 5 &&
            (record.payloadLength != e.length || record.payload != base + e.offset + 2)) {
            fuzzline::Fail("ReadRecord gave the wrong payload");
        }
        if (e.type > 5 && record.payload != nullptr) {
            fuzzline::Fail("a two-byte record came with a payload");
        }
        if (record.payload != nullptr &&
            record.payload + record.payloadLength > base + image.size()) {
            fuzzline::Fail("payload reaches beyond the image");
        }
        at = next;
    }
    if (expected.size() < static_cast<std::size_t>(MAX_RECORDS)) {
        ImageRecord end{};
        if (ReadRecord(at, &end) != at || end.recordType != RT_END) {
            fuzzline::Fail("the walk did not stop at the end record");
        }
    }
    // Header fields are read little-endian.
    const uint16_t codeH = static_cast<uint16_t>(base[6] | base[7] << 8);
    if (ImageField(base, IMAGE_CODE_H_OFFSET) != codeH) {
        fuzzline::Fail("ImageField is not little-endian");
    }
    return 0;
}

#ifdef KESTREL_LIBFUZZER
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    return FuzzRecordsOne(data, size);
}
#endif
