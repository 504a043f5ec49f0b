// Builds synthetic firmware images and whole test catalogues from a list of records, so
// that tests of every layer can say exactly what the engine is given:
//   ImageBuilder().Header(0x0B12, 0x0235, 0x013F).Send(Packet(170, 0x51)).Final(...).End()
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "catalogue/catalogue.h"

namespace testsupport {

using ByteString = std::vector<uint8_t>;

// A packet of `length` bytes whose byte 1 is `key` (the key its reply must carry) and whose
// byte 0 is never a reply start (0xAC, 0xAD); the other bytes follow from `seed`.
inline ByteString Packet(std::size_t length, uint8_t key = 0x51, uint8_t seed = 1) {
    ByteString packet(length);
    for (std::size_t i = 0; i < length; ++i) {
        packet[i] = static_cast<uint8_t>(seed * 31u + i * 7u + 3u);
    }
    if (length > 0 && (packet[0] == 0xAC || packet[0] == 0xAD)) {
        packet[0] = 0x20;
    }
    if (length > 1) {
        packet[1] = key;
    }
    return packet;
}

// A stored request: an RT_SEND record of 40 payload bytes (42 bytes in all).
inline ByteString StoredRequest(uint8_t key, uint8_t seed = 7) {
    ByteString record = {RT_SEND, 40};
    const ByteString packet = Packet(40, key, seed);
    record.insert(record.end(), packet.begin(), packet.end());
    return record;
}

// Keys of the default stored requests of a TestCatalogue.
constexpr uint8_t TEST_INFO_KEY = 0x49;
constexpr uint8_t TEST_BRIDGE_KEY = 0x42;

class ImageBuilder {
  public:
    // Starts with a header of status 0x01, zero codes, zero reserved bytes 1..5 and 0xFF
    // reserved bytes 12..15.
    ImageBuilder() : bytes_{0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF} {}

    ImageBuilder& Header(uint16_t codeH, uint16_t codeB, uint16_t codeS,
                         uint8_t status = IMAGE_VALID) {
        bytes_[IMAGE_STATUS_OFFSET] = status;
        Put16(IMAGE_CODE_H_OFFSET, codeH);
        Put16(IMAGE_CODE_B_OFFSET, codeB);
        Put16(IMAGE_CODE_S_OFFSET, codeS);
        return *this;
    }
    // A record of a payload-carrying type (1 to 5); payloads up to 4095 bytes.
    ImageBuilder& Record(uint8_t type, const ByteString& payload) {
        bytes_.push_back(static_cast<uint8_t>(((payload.size() >> 8) << 4) | (type & 0x0F)));
        bytes_.push_back(static_cast<uint8_t>(payload.size() & 0xFF));
        bytes_.insert(bytes_.end(), payload.begin(), payload.end());
        return *this;
    }
    ImageBuilder& Send(const ByteString& payload) { return Record(RT_SEND, payload); }
    ImageBuilder& SendSlow(const ByteString& payload) { return Record(RT_SEND_SLOW, payload); }
    ImageBuilder& Final(const ByteString& payload) { return Record(RT_FINAL, payload); }
    ImageBuilder& Stop(const ByteString& payload = {}) { return Record(RT_STOP, payload); }
    ImageBuilder& SendAlt(const ByteString& payload) { return Record(RT_SEND_ALT, payload); }
    // A two-byte record of type 6 to 15, with any 12 length bits (they are not read).
    ImageBuilder& Filler(uint8_t type = RT_FILLER, uint16_t lengthBits = 0) {
        bytes_.push_back(static_cast<uint8_t>(((lengthBits >> 8) << 4) | (type & 0x0F)));
        bytes_.push_back(static_cast<uint8_t>(lengthBits & 0xFF));
        return *this;
    }
    // The end record: one byte whose low nibble is 0 (0x00 in production; 0x10 and 0x50
    // end a stream just as well).
    ImageBuilder& End(uint8_t byte = 0x00) {
        bytes_.push_back(byte);
        return *this;
    }
    // Bytes as they are, for streams that no well-formed record describes.
    ImageBuilder& Raw(const ByteString& bytes) {
        bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
        return *this;
    }
    const ByteString& Bytes() const { return bytes_; }

  private:
    void Put16(std::size_t offset, uint16_t value) {
        bytes_[offset] = static_cast<uint8_t>(value & 0xFF);
        bytes_[offset + 1] = static_cast<uint8_t>(value >> 8);
    }
    ByteString bytes_;
};

// A catalogue of 21 slots, empty until filled, with two distinct stored requests. It owns
// every byte it points to; Get() gives the Catalogue to select (keep this object alive as
// long as it is selected).
class TestCatalogue {
  public:
    TestCatalogue()
        : info_(StoredRequest(TEST_INFO_KEY, 7)), bridge_(StoredRequest(TEST_BRIDGE_KEY, 11)) {}
    TestCatalogue(const TestCatalogue&) = delete;
    TestCatalogue& operator=(const TestCatalogue&) = delete;

    // Fills a slot with all three fields (a slot has all or none).
    TestCatalogue& Slot(int index, std::string name, ByteString image, uint8_t version0 = 0x02,
                        uint8_t version1 = 0x01) {
        Entry& entry = entries_.at(static_cast<std::size_t>(index));
        entry.filled = true;
        entry.name = std::move(name);
        entry.version = {version0, version1};
        entry.image = std::move(image);
        return *this;
    }
    TestCatalogue& Slot(int index, std::string name, const ImageBuilder& image,
                        uint8_t version0 = 0x02, uint8_t version1 = 0x01) {
        return Slot(index, std::move(name), image.Bytes(), version0, version1);
    }
    TestCatalogue& InfoRequest(ByteString record) {
        info_ = std::move(record);
        return *this;
    }
    TestCatalogue& BridgeRequest(ByteString record) {
        bridge_ = std::move(record);
        return *this;
    }
    const ByteString& InfoRequestBytes() const { return info_; }
    const ByteString& BridgeRequestBytes() const { return bridge_; }

    const Catalogue& Get() {
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            const Entry& entry = entries_[i];
            slots_[i] = entry.filled ? CatalogueSlot{entry.name.c_str(), entry.version.data(),
                                                     entry.image.data()}
                                     : CatalogueSlot{nullptr, nullptr, nullptr};
        }
        catalogue_ = Catalogue{slots_.data(), info_.data(), bridge_.data()};
        return catalogue_;
    }

  private:
    struct Entry {
        bool filled = false;
        std::string name;
        std::array<uint8_t, 2> version{};
        ByteString image;
    };
    std::array<Entry, SLOT_COUNT> entries_;
    std::array<CatalogueSlot, SLOT_COUNT> slots_{};
    ByteString info_, bridge_;
    Catalogue catalogue_{};
};

// Selects a catalogue for the life of this object, then the compiled-in one again.
class ScopedCatalogue {
  public:
    explicit ScopedCatalogue(const Catalogue& catalogue) { SelectCatalogue(&catalogue); }
    ~ScopedCatalogue() { SelectCatalogue(nullptr); }
    ScopedCatalogue(const ScopedCatalogue&) = delete;
    ScopedCatalogue& operator=(const ScopedCatalogue&) = delete;
};

} // namespace testsupport
