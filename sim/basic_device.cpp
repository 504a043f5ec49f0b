// The first-stage simulated device.
#include "sim/basic_device.h"

#include <algorithm>

#include "sim/reply_encoder.h"

namespace sim {

void BasicDevice::OnBreak(uint64_t atUs, bool on) {
    (void)atUs;
    if (on) {
        ++breaksSeen;
        awake = true;
    }
}

bool BasicDevice::OnPacket(uint64_t atUs, const uint8_t* bytes, std::size_t n,
                           std::vector<uint8_t>* reply, uint64_t* replyAtUs) {
    if (!awake || !Present(atUs)) {
        return false;
    }
    ++packetsHeard;
    if (silentAfterPackets >= 0 && answered_ >= static_cast<uint64_t>(silentAfterPackets)) {
        return false;
    }
    *replyAtUs = atUs + turnaroundUs;
    const bool alive = n == ALIVE_REQUEST_BYTES.size() &&
                       std::equal(bytes, bytes + n, ALIVE_REQUEST_BYTES.begin());
    if (alive) {
        if (!answerAlive || aliveReply.empty()) {
            return false;
        }
        *reply = aliveReply;
        ++aliveAnswered;
        ++answered_;
        return true;
    }
    requests.emplace_back(bytes, bytes + n);
    if (!onRequest || !onRequest(atUs, bytes, n, reply, replyAtUs) || reply->empty()) {
        return false;
    }
    SpoilReply(reply);
    ++requestsAnswered;
    ++answered_;
    return true;
}

void BasicDevice::SpoilReply(std::vector<uint8_t>* reply) const {
    if (reply->size() < 5 || (*reply)[0] != 0xAD) {
        return;
    }
    const size_t body = reply->size() - 2;
    if (wrongKey) {
        (*reply)[1] = static_cast<uint8_t>((*reply)[1] + 1);
        const uint16_t crc = DeviceCrc(reply->data(), body);
        (*reply)[body] = static_cast<uint8_t>(crc & 0xFF);
        (*reply)[body + 1] = static_cast<uint8_t>(crc >> 8);
    }
    if (badCrc) {
        (*reply)[body + 1] ^= 0x01; // a one-bit error: a CRC always catches it
    }
}

} // namespace sim
