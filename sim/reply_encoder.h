// The device's own encoder for what it sends: data replies and the alive reply. Written
// apart from the host's frame decoder (a bitwise CRC loop instead of the host's byte-wise
// formula), so that the two check each other in every test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

constexpr uint16_t DEVICE_CRC_SEED = 0x7777;
constexpr uint16_t DEVICE_CRC_POLY = 0x8408; // 0x1021 taken least significant bit first
constexpr size_t DATA_REPLY_MAX_PAYLOAD = 255;

// CRC-16 over n bytes, bit by bit over the reflected CCITT polynomial from `seed`, no
// final XOR. With seed 0xFFFF it is CRC-16/MCRF4XX. Returns the CRC.
uint16_t DeviceCrc(const uint8_t* bytes, size_t n, uint16_t seed = DEVICE_CRC_SEED);

// A data reply as sent: 0xAD, key, L = n, each plain byte p as ((p XOR key) - 0x6A) mod 256,
// then the CRC over all bytes as sent, low byte first. Returns the n + 5 bytes; empty when
// n is above 255 (no such frame exists).
std::vector<uint8_t> EncodeDataReply(uint8_t key, const uint8_t* plain, size_t n);

// Convenience for a reply given as a vector.
inline std::vector<uint8_t> EncodeDataReply(uint8_t key, const std::vector<uint8_t>& plain) {
    return EncodeDataReply(key, plain.data(), plain.size());
}

// The alive reply, and the alive request the device answers with it.
inline const std::vector<uint8_t> ALIVE_REPLY_BYTES{0xAC, 0x3A};
inline const std::vector<uint8_t> ALIVE_REQUEST_BYTES{0x35, 0x3A, 0xF0, 0x01, 0x64};

} // namespace sim
