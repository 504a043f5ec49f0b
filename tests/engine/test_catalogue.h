// Small synthetic catalogues for the engine's tests: images made with the shared image
// builder from payloads that name themselves, so the scripted device can tell what it was
// sent.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "support/image_builder.h"

namespace enginetest {

// What a payload is, as the scripted device looks it up.
struct PayloadInfo {
    std::string kind; // "record" (types 1, 2, 5), "final", "stop", "info", "bridge"
    uint8_t type;
    int index; // the record's index in its image's stream
};

// One record of an image under construction.
struct Rec {
    uint8_t type;
    size_t length = 8; // payload bytes for types 1 to 5
};

class TestCatalogue {
  public:
    TestCatalogue() {
        info_ = StoredRequest(testsupport::TEST_INFO_KEY, 7);
        bridge_ = StoredRequest(testsupport::TEST_BRIDGE_KEY, 11);
        Register(std::vector<uint8_t>(info_.begin() + 2, info_.end()), {"info", RT_SEND, 0});
        Register(std::vector<uint8_t>(bridge_.begin() + 2, bridge_.end()), {"bridge", RT_SEND, 0});
        catalogue_ = Catalogue{slots_.data(), info_.data(), bridge_.data()};
    }
    TestCatalogue(const TestCatalogue&) = delete;
    TestCatalogue& operator=(const TestCatalogue&) = delete;

    // Puts an image into a slot: the header, the records in order, and the end byte unless
    // `end` is false. Returns the image's bytes as stored.
    const std::vector<uint8_t>& SetSlot(int slot, const std::string& name, uint8_t status,
                                        uint16_t codeH, uint16_t codeB, uint16_t codeS,
                                        const std::vector<Rec>& records, bool end = true,
                                        std::array<uint8_t, 2> version = {0x02, 0x01}) {
        testsupport::ImageBuilder image;
        image.Header(codeH, codeB, codeS, status);
        for (size_t i = 0; i < records.size(); ++i) {
            const Rec& r = records[i];
            if (r.type >= RT_FILLER) {
                image.Filler(r.type, 0xFFF); // length bits set: still two bytes
                continue;
            }
            const std::vector<uint8_t> payload = Payload(r.length);
            image.Record(r.type, payload);
            const char* kind = r.type == RT_FINAL ? "final" : r.type == RT_STOP ? "stop" : "record";
            Register(payload, {kind, r.type, static_cast<int>(i)});
        }
        if (end) {
            image.End();
        }
        images_.push_back(image.Bytes());
        names_.push_back(name);
        versions_.push_back(version);
        slots_[slot] =
            CatalogueSlot{names_.back().c_str(), versions_.back().data(), images_.back().data()};
        return images_.back();
    }

    // Shorthand for a valid image of two sending records and a final packet.
    void SetSimple(int slot, const std::string& name, uint16_t codeH, uint16_t codeB,
                   uint16_t codeS, uint8_t status = IMAGE_VALID) {
        SetSlot(slot, name, status, codeH, codeB, codeS, {{RT_SEND}, {RT_SEND_SLOW}, {RT_FINAL}});
    }

    const Catalogue* Get() const { return &catalogue_; }
    const std::vector<uint8_t>& InfoPayload() const { return infoPayload_; }

    // What a packet is; nullptr when it is nothing of this catalogue.
    const PayloadInfo* Lookup(const uint8_t* bytes, size_t n) const {
        auto it = payloads_.find(std::vector<uint8_t>(bytes, bytes + n));
        return it == payloads_.end() ? nullptr : &it->second;
    }

    // The payload of the n-th payload record made so far (0-based, across images).
    const std::vector<uint8_t>& MadePayload(size_t n) const { return made_.at(n); }

  private:
    // A stored request as the shared builder makes it; its packet is kept for lookups.
    std::array<uint8_t, STORED_REQUEST_BYTES> StoredRequest(uint8_t key, uint8_t seed) {
        const testsupport::ByteString bytes = testsupport::StoredRequest(key, seed);
        std::array<uint8_t, STORED_REQUEST_BYTES> r{};
        std::copy(bytes.begin(), bytes.end(), r.begin());
        if (key == testsupport::TEST_INFO_KEY) {
            infoPayload_.assign(r.begin() + 2, r.end());
        }
        return r;
    }

    // A payload that names itself by a serial number in bytes 2 to 4.
    std::vector<uint8_t> Payload(size_t n) {
        std::vector<uint8_t> p(n);
        const uint32_t serial = serial_++;
        for (size_t i = 0; i < n; ++i) {
            p[i] = static_cast<uint8_t>(0x30 + i * 7);
        }
        p[0] = 0x30;
        if (n > 1) {
            p[1] = 0x5A; // the reply key
        }
        for (size_t i = 0; i < 3 && i + 2 < n; ++i) {
            p[i + 2] = static_cast<uint8_t>(serial >> (8 * i));
        }
        made_.push_back(p);
        return p;
    }

    void Register(const std::vector<uint8_t>& payload, PayloadInfo info) {
        payloads_.emplace(payload, std::move(info));
    }

    std::array<uint8_t, STORED_REQUEST_BYTES> info_{};
    std::array<uint8_t, STORED_REQUEST_BYTES> bridge_{};
    std::vector<uint8_t> infoPayload_;
    std::array<CatalogueSlot, SLOT_COUNT> slots_{};
    std::deque<std::vector<uint8_t>> images_;
    std::deque<std::string> names_;
    std::deque<std::array<uint8_t, 2>> versions_;
    std::map<std::vector<uint8_t>, PayloadInfo> payloads_;
    std::deque<std::vector<uint8_t>> made_;
    uint32_t serial_ = 1;
    Catalogue catalogue_{};
};

} // namespace enginetest
