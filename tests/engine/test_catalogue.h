// Small synthetic catalogues for the engine's tests: images built record by record with
// payloads that name themselves, so the scripted device can tell what it was sent.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "catalogue/catalogue.h"

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
        info_ = StoredRequest(0x49);
        bridge_ = StoredRequest(0x42);
        Register(std::vector<uint8_t>(info_.begin() + 2, info_.end()), {"info", RT_SEND, 0});
        Register(std::vector<uint8_t>(bridge_.begin() + 2, bridge_.end()), {"bridge", RT_SEND, 0});
        catalogue_ = Catalogue{slots_.data(), info_.data(), bridge_.data()};
    }
    TestCatalogue(const TestCatalogue&) = delete;
    TestCatalogue& operator=(const TestCatalogue&) = delete;

    // An image header: status, reserved zeros, codeH, codeB, codeS (low byte first), 0xFF.
    static std::vector<uint8_t> Header(uint8_t status, uint16_t codeH, uint16_t codeB,
                                       uint16_t codeS) {
        return {status,
                0,
                0,
                0,
                0,
                0,
                static_cast<uint8_t>(codeH),
                static_cast<uint8_t>(codeH >> 8),
                static_cast<uint8_t>(codeB),
                static_cast<uint8_t>(codeB >> 8),
                static_cast<uint8_t>(codeS),
                static_cast<uint8_t>(codeS >> 8),
                0xFF,
                0xFF,
                0xFF,
                0xFF};
    }

    // Puts an image into a slot: the header, the records in order, and the end byte unless
    // `end` is false. Returns the image's bytes as stored.
    const std::vector<uint8_t>& SetSlot(int slot, const std::string& name, uint8_t status,
                                        uint16_t codeH, uint16_t codeB, uint16_t codeS,
                                        const std::vector<Rec>& records, bool end = true,
                                        std::array<uint8_t, 2> version = {0x02, 0x01}) {
        std::vector<uint8_t> image = Header(status, codeH, codeB, codeS);
        for (size_t i = 0; i < records.size(); ++i) {
            const Rec& r = records[i];
            if (r.type >= RT_FILLER) {
                image.push_back(static_cast<uint8_t>(0xF0 | r.type)); // length bits set
                image.push_back(0xFF);
                continue;
            }
            const std::vector<uint8_t> payload = Payload(r.length);
            image.push_back(static_cast<uint8_t>(r.type | ((r.length >> 8) << 4)));
            image.push_back(static_cast<uint8_t>(r.length & 0xFF));
            image.insert(image.end(), payload.begin(), payload.end());
            const char* kind = r.type == RT_FINAL ? "final" : r.type == RT_STOP ? "stop" : "record";
            Register(payload, {kind, r.type, static_cast<int>(i)});
        }
        if (end) {
            image.push_back(0x00);
        }
        images_.push_back(image);
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
    // A stored request: an RT_SEND record of 40 payload bytes. Byte 0 of the packet is
    // neither 0xAC nor 0xAD, so an echo heard without being expected is dropped.
    std::array<uint8_t, STORED_REQUEST_BYTES> StoredRequest(uint8_t key) {
        std::array<uint8_t, STORED_REQUEST_BYTES> r{};
        r[0] = 0x01;
        r[1] = 40;
        r[2] = 0x21;
        r[3] = key;
        for (size_t i = 4; i < r.size(); ++i) {
            r[i] = static_cast<uint8_t>(key + i);
        }
        if (key == 0x49) {
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
