// The floor of an update: bytes on the line, the device's own times and the fixed waits,
// added up step by step along the success path of one update cycle.
#include "bench/floor.h"

#include <algorithm>
#include <cmath>

namespace bench {

namespace {

constexpr double US_PER_MS = 1000.0;
constexpr std::size_t HEADER_BYTES = 16;
constexpr int MAX_RECORDS = 4100;

Floor Wait(double ms) {
    Floor f;
    f.waitUs = ms * US_PER_MS;
    return f;
}

// Until a write of n bytes returns: the adapter holds the last 256 of them.
double WriteBlockUs(uint32_t bytes) {
    return bytes > FLOOR_ADAPTER_TX_BYTES ? LineUs(bytes - FLOOR_ADAPTER_TX_BYTES) : 0.0;
}

} // namespace

double LineUs(uint64_t bytes) {
    return static_cast<double>(bytes) * FLOOR_BITS_PER_BYTE * 1e6 / FLOOR_LINE_BAUD;
}

Floor& Floor::operator+=(const Floor& other) {
    lineUs += other.lineUs;
    deviceUs += other.deviceUs;
    waitUs += other.waitUs;
    return *this;
}

std::vector<FloorRecord> WalkImage(const uint8_t* image) {
    std::vector<FloorRecord> records;
    const uint8_t* at = image + HEADER_BYTES;
    while (records.size() < static_cast<std::size_t>(MAX_RECORDS)) {
        const uint8_t type = at[0] & 0x0F;
        if (type == 0) {
            break;
        }
        if (type <= 5) {
            const uint32_t length = (static_cast<uint32_t>(at[0] >> 4) << 8) | at[1];
            records.push_back({type, length});
            at += 2 + length;
        } else {
            records.push_back({type, 0});
            at += 2;
        }
    }
    return records;
}

uint64_t SentPayloadBytes(const std::vector<FloorRecord>& records) {
    uint64_t bytes = 0;
    for (const FloorRecord& r : records) {
        if (r.type == 4) {
            break;
        }
        if (r.type == 1 || r.type == 2 || r.type == 5) {
            bytes += r.payloadBytes;
        }
    }
    return bytes;
}

Floor ExchangeFloor(uint32_t requestBytes, double deviceUs, uint32_t replyBytes) {
    Floor f;
    f.lineUs = LineUs(requestBytes) + LineUs(replyBytes);
    f.deviceUs = deviceUs;
    f.waitUs = FLOOR_EXCHANGE_PAUSE_MS * US_PER_MS;
    return f;
}

Floor FailedExchangeFloor(uint32_t requestBytes, double timeoutMs, Echo echo) {
    Floor f;
    // With the echo seen, the reply time-out runs from the request's last byte; otherwise
    // from the end of the write, which returns while the adapter still sends.
    f.lineUs = echo == Echo::Seen ? LineUs(requestBytes) : WriteBlockUs(requestBytes);
    f.waitUs = (timeoutMs + FLOOR_EXCHANGE_PAUSE_MS) * US_PER_MS;
    if (echo == Echo::Missing) {
        f.waitUs += FLOOR_ECHO_TIMEOUT_MS * US_PER_MS;
    }
    return f;
}

Floor FailedAttemptFloor(const FailedAttempt& attempt) {
    Floor f = FailedExchangeFloor(attempt.requestBytes, attempt.timeoutMs, attempt.echo);
    f += Wait(attempt.identity ? FLOOR_PING_MS : FLOOR_RETRY_PAUSE_MS);
    return f;
}

Floor SearchFloor(const DeviceTiming& device) {
    // Each poll writes an alive request and looks 6 ms later. A reply that takes longer
    // than one poll to come back is first seen by a later poll; from then on every poll
    // sees one.
    const double roundTripUs =
        LineUs(FLOOR_ALIVE_REQUEST_BYTES) + device.aliveAnswerUs + LineUs(FLOOR_ALIVE_REPLY_BYTES);
    const double pollUs = FLOOR_DETECT_POLL_MS * US_PER_MS;
    const double firstHitPoll = std::max(1.0, std::ceil(roundTripUs / pollUs));
    return Wait((firstHitPoll + FLOOR_DETECT_HITS - 1) * FLOOR_DETECT_POLL_MS);
}

Floor IdentifyFloor(const DeviceTiming& device, bool lineEchoes) {
    Floor f;
    if (!lineEchoes) {
        f += FailedExchangeFloor(FLOOR_STORED_REQUEST_BYTES, FLOOR_REPLY_TIMEOUT_MS, Echo::Missing);
        f += Wait(FLOOR_PING_MS);
    }
    f += ExchangeFloor(FLOOR_STORED_REQUEST_BYTES, device.answerUs, device.identityReplyBytes);
    return f;
}

Floor ProgrammingFloor(const std::vector<FloorRecord>& records, const DeviceTiming& device) {
    Floor f;
    for (const FloorRecord& r : records) {
        if (r.type == 4) {
            break;
        }
        if (r.type == 1 || r.type == 2 || r.type == 5) {
            const double flashUs = r.type == 1   ? device.flashUs
                                   : r.type == 2 ? device.slowFlashUs
                                                 : device.altFlashUs;
            f += ExchangeFloor(r.payloadBytes, flashUs, device.recordReplyBytes);
        }
    }
    return f;
}

bool FinalPacketBytes(const std::vector<FloorRecord>& records, uint32_t* bytes) {
    bool found = false;
    for (const FloorRecord& r : records) {
        if (r.type == 4) {
            break;
        }
        if (r.type == 3) {
            *bytes = r.payloadBytes;
            found = true;
        }
    }
    return found;
}

namespace {

// Identify, program, identify, final packet: the body of either pass.
Floor PassFloor(const uint8_t* image, const DeviceTiming& device, bool lineEchoes) {
    const std::vector<FloorRecord> records = WalkImage(image);
    Floor f = ProgrammingFloor(records, device);
    f += IdentifyFloor(device, lineEchoes);
    uint32_t finalBytes = 0;
    if (FinalPacketBytes(records, &finalBytes)) {
        f += ExchangeFloor(finalBytes, device.finalUs, device.finalReplyBytes);
    }
    return f;
}

} // namespace

Floor UpdateFloor(const UpdatePlan& plan, const DeviceTiming& device) {
    Floor f = Wait(FLOOR_BREAK_MS);
    f += SearchFloor(device);
    f += IdentifyFloor(device, plan.lineEchoes);
    // Once identified, the exchanges of the cycle expect an echo only if the line gives one.
    const Echo echo = plan.lineEchoes ? Echo::Seen : Echo::Skipped;
    for (int i = 0; i < plan.bridgeRefusals; ++i) {
        f += FailedExchangeFloor(plan.requestBytes, FLOOR_REPLY_TIMEOUT_MS, echo);
    }
    if (plan.bridgeImage != nullptr) {
        f += ExchangeFloor(plan.requestBytes, device.answerUs, device.bridgeReplyBytes);
        f += SearchFloor(device);
        f += IdentifyFloor(device, plan.lineEchoes);
        f += PassFloor(plan.bridgeImage, device, plan.lineEchoes);
    }
    f += Wait(FLOOR_BREAK_MS + FLOOR_AFTER_BREAK_MS);
    f += IdentifyFloor(device, plan.lineEchoes);
    f += PassFloor(plan.mainImage, device, plan.lineEchoes);
    for (const FailedAttempt& attempt : plan.failures) {
        f += FailedAttemptFloor(attempt);
    }
    return f;
}

} // namespace bench
