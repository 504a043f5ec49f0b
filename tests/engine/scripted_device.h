// A device for the engine's tests that answers each request the way a case needs: by
// default like a healthy device of the test catalogue, or by a per-kind script of answers.
// It can carry a second device behind it that answers once bridge mode is granted.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "link/frame.h"
#include "sim/basic_device.h"
#include "sim/reply_encoder.h"
#include "test_catalogue.h"

namespace enginetest {

struct Identity {
    uint16_t number1;
    uint16_t number2;
    uint16_t codeH;
    uint16_t codeB;
    uint16_t codeS;
};

// How the device answers one request.
struct Answer {
    enum Kind { Healthy, Silent, Tag, ShortIdentity } kind = Healthy;
    std::string tag;   // Tag: a reply with this tag and two more bytes
    size_t length = 0; // ShortIdentity: the identity reply cut to this many payload bytes
};
inline Answer Healthy() {
    return {Answer::Healthy, "", 0};
}
inline Answer Silent() {
    return {Answer::Silent, "", 0};
}
inline Answer Tagged(const std::string& tag) {
    return {Answer::Tag, tag, 0};
}
inline Answer ShortIdentity(size_t length) {
    return {Answer::ShortIdentity, "", length};
}

// One request the device heard.
struct Heard {
    uint64_t atMs;
    std::string kind;     // "info", "bridge", "record", "final", "stop", "unknown"
    int index;            // the record's index in its stream
    bool echoSkip;        // the host's echo mode while it sent this request
    uint64_t aliveBefore; // alive requests answered before this one
};

// The identity reply's payload as the device sends it: the tag, then codeH, codeB, codeS,
// number1 and number2, each low byte first behind one byte that the host does not read.
inline std::vector<uint8_t> IdentityPayload(const Identity& id) {
    auto lo = [](uint16_t v) { return static_cast<uint8_t>(v & 0xFF); };
    auto hi = [](uint16_t v) { return static_cast<uint8_t>(v >> 8); };
    return {'R',
            '1',
            0xEE,
            lo(id.codeH),
            hi(id.codeH),
            0xEE,
            lo(id.codeB),
            hi(id.codeB),
            0xEE,
            lo(id.codeS),
            hi(id.codeS),
            0xEE,
            lo(id.number1),
            hi(id.number1),
            0xEE,
            lo(id.number2),
            hi(id.number2)};
}

class ScriptedDevice : public sim::BasicDevice {
  public:
    explicit ScriptedDevice(const TestCatalogue& catalogue) : catalogue_(&catalogue) {
        onRequest = [this](uint64_t atUs, const uint8_t* bytes, size_t n,
                           std::vector<uint8_t>* reply, uint64_t* replyAtUs) {
            (void)replyAtUs;
            return Handle(atUs, bytes, n, reply);
        };
    }

    Identity identity{};       // who the device says it is
    Identity behind{};         // who answers once bridge mode is on
    bool grantsBridge = false; // a healthy answer to the bridge request grants it
    bool bridgeOn = false;     // until the next break
    std::map<std::string, std::deque<Answer>> script; // by kind, used before the defaults
    std::vector<Heard> heard;
    // Told of every request heard, before the device answers it.
    std::function<void(const Heard&)> onHeard;

    void OnBreak(uint64_t atUs, bool on) override {
        if (on) {
            bridgeOn = false;
        }
        BasicDevice::OnBreak(atUs, on);
    }

    // Back to a fresh device, asleep and plugged in, with the same catalogue.
    void Reset() {
        awake = false;
        answerAlive = true;
        aliveReply = sim::ALIVE_REPLY_BYTES;
        turnaroundUs = sim::DEVICE_TURNAROUND_US;
        silentAfterPackets = -1;
        unplugAtUs = UINT64_MAX;
        wrongKey = false;
        badCrc = false;
        breaksSeen = packetsHeard = aliveAnswered = requestsAnswered = 0;
        requests.clear();
        answered_ = 0;
        identity = Identity{};
        behind = Identity{};
        grantsBridge = false;
        bridgeOn = false;
        script.clear();
        heard.clear();
        onHeard = nullptr;
    }

    // The catalogue whose packets the device knows.
    void UseCatalogue(const TestCatalogue& catalogue) { catalogue_ = &catalogue; }

    // The kinds of the requests heard, in order.
    std::vector<std::string> HeardKinds() const {
        std::vector<std::string> out;
        for (const Heard& h : heard) {
            out.push_back(h.kind);
        }
        return out;
    }

  private:
    bool Handle(uint64_t atUs, const uint8_t* bytes, size_t n, std::vector<uint8_t>* reply) {
        const PayloadInfo* info = catalogue_->Lookup(bytes, n);
        const std::string kind = info != nullptr ? info->kind : "unknown";
        heard.push_back(
            Heard{atUs / 1000u, kind, info != nullptr ? info->index : -1, echoSkip, aliveAnswered});
        if (onHeard) {
            onHeard(heard.back());
        }
        if (info == nullptr || n < 2) {
            return false;
        }
        Answer answer = Healthy();
        auto it = script.find(kind);
        if (it != script.end() && !it->second.empty()) {
            answer = it->second.front();
            it->second.pop_front();
        }
        const uint8_t key = bytes[1];
        std::vector<uint8_t> plain;
        switch (answer.kind) {
        case Answer::Silent:
            return false;
        case Answer::Tag:
            plain = {static_cast<uint8_t>(answer.tag[0]), static_cast<uint8_t>(answer.tag[1]), 0x00,
                     0x00};
            if (kind == "bridge") {
                bridgeOn = true;
            }
            break;
        case Answer::ShortIdentity:
            plain = IdentityPayload(bridgeOn ? behind : identity);
            plain.resize(answer.length);
            break;
        case Answer::Healthy:
            if (kind == "info") {
                plain = IdentityPayload(bridgeOn ? behind : identity);
            } else if (kind == "bridge") {
                if (!grantsBridge) {
                    return false;
                }
                bridgeOn = true;
                plain = {'R', 'B', 0x00, 0x00};
            } else if (kind == "final") {
                plain = {'R', '6', 0x00, 0x00};
            } else if (info->type == RT_SEND_ALT) {
                plain = {'R', '5', 0x00, 0x00};
            } else {
                plain = {'R', '8', 0x00, 0x00};
            }
            break;
        }
        *reply = sim::EncodeDataReply(key, plain);
        return true;
    }

    const TestCatalogue* catalogue_;
};

} // namespace enginetest
