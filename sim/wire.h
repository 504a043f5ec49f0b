// The simulated serial line between the FT232R and the device: 38400 baud 8N1, so a byte
// occupies the line for 10/38400 s; half-duplex, so the adapter hears its own bytes (the
// echo) unless the cable gives none; the FT232R's 256-byte transmit buffer; a receive
// queue that the status call counts. Advanced lazily to "now" on every call, so it runs on
// the virtual clock and on the real one alike.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/device_model.h"
#include "sim/virtual_clock.h"

namespace sim {

constexpr uint32_t LINE_BAUD = 38400;
constexpr uint32_t BITS_PER_BYTE = 10; // start, 8 data, stop
constexpr uint32_t ADAPTER_TX_BUFFER_BYTES = 256;

// Microseconds from the start of a burst to the end of its byte i (0-based), exact to the
// microsecond without drift: (i + 1) × 10 / 38400 s.
constexpr uint64_t BurstByteEndUs(uint64_t i) {
    return ((i + 1) * BITS_PER_BYTE * 1'000'000ull) / LINE_BAUD;
}

} // namespace sim
