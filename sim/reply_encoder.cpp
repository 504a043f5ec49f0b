// The device's encoder: bitwise CRC and data-reply framing.
#include "sim/reply_encoder.h"

namespace sim {

uint16_t DeviceCrc(const uint8_t* bytes, size_t n, uint16_t seed) {
    uint16_t crc = seed;
    for (size_t i = 0; i < n; ++i) {
        crc = static_cast<uint16_t>(crc ^ bytes[i]);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1u) != 0 ? static_cast<uint16_t>((crc >> 1) ^ DEVICE_CRC_POLY)
                                  : static_cast<uint16_t>(crc >> 1);
        }
    }
    return crc;
}

std::vector<uint8_t> EncodeDataReply(uint8_t key, const uint8_t* plain, size_t n) {
    if (n > DATA_REPLY_MAX_PAYLOAD) {
        return {};
    }
    std::vector<uint8_t> out;
    out.reserve(n + 5);
    out.push_back(0xAD);
    out.push_back(key);
    out.push_back(static_cast<uint8_t>(n));
    for (size_t i = 0; i < n; ++i) {
        out.push_back(static_cast<uint8_t>((plain[i] ^ key) - 0x6A));
    }
    const uint16_t crc = DeviceCrc(out.data(), out.size());
    out.push_back(static_cast<uint8_t>(crc & 0xFF));
    out.push_back(static_cast<uint8_t>(crc >> 8));
    return out;
}

} // namespace sim
