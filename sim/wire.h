// The simulated serial line between the FT232R and the device: 38400 baud 8N1, so a byte
// occupies the line for 10/38400 s; half-duplex, so the adapter hears its own bytes (the
// echo) unless the cable gives none; the FT232R's 256-byte transmit buffer; a receive
// queue that the status call counts. Advanced lazily to "now" on every call, so it runs on
// the virtual clock and on the real one alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "sim/device_model.h"
#include "sim/faults.h"
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

// The device takes a packet as ended once the line has been idle this long after its last
// byte: three byte times (781 µs).
constexpr uint64_t PACKET_GAP_US = BurstByteEndUs(2);

constexpr uint64_t NEVER_US = UINT64_MAX;

class Wire {
  public:
    explicit Wire(const TimeSource* time);
    Wire(const Wire&) = delete;
    Wire& operator=(const Wire&) = delete;

    // The device on the far side; nullptr: nothing is connected (bytes still echo).
    void AttachDevice(DeviceModel* device);
    DeviceModel* Device() const { return device_; }

    // Back to the state at construction (device, faults and statistics included), with the
    // model's time at 0: for a time source that was restarted.
    void Reset();

    // The line's faults; change them at any time, they act on the bytes that follow.
    LineFaults& Faults() { return faults_; }

    // Host side; each first advances the model to time->nowUs() and acts then.
    // Queues n bytes for the line, sent back to back as soon as the line is free. Returns
    // the time at which no more than 256 of them are still waiting to go out (now, for a
    // write of 256 bytes or fewer).
    uint64_t HostWrite(const uint8_t* bytes, size_t n);
    // Starts or ends a break: the device sees it; a byte ending while it is on is lost.
    void HostBreak(bool on);
    // Bytes in the host's receive queue now.
    size_t HostQueued();
    // Bytes written by the host that have not finished going out.
    size_t HostTxQueued();
    // Takes up to max bytes from the host's receive queue. Returns the count taken.
    size_t HostRead(uint8_t* out, size_t max);

    // Puts bytes straight into the host's receive queue now, as noise from outside the
    // model would (a test's stale bytes).
    void InjectHostBytes(const uint8_t* bytes, size_t n);
    // The device sends bytes of its own accord: they start at atUs (not before now), or as
    // soon as the line is free after it, back to back.
    void DeviceSendAt(uint64_t atUs, const std::vector<uint8_t>& bytes);

    // No later than the moment the next byte reaches the host's receive queue (NEVER_US:
    // nothing is on its way). It may be earlier when the device has yet to decide whether
    // to answer: a sleeper wakes then, finds nothing, and asks again.
    uint64_t NextHostArrivalUs();

    // Runs the line and the device up to us (never back).
    void AdvanceTo(uint64_t us);

    // Nothing is being sent either way now, and no host byte waits to go out.
    bool LineIdle();

    struct Stats {
        uint64_t hostBytes = 0;   // bytes the host put on the line
        uint64_t deviceBytes = 0; // bytes the device put on the line
        uint64_t corrupted = 0;
        uint64_t dropped = 0;
        uint64_t inserted = 0; // noise bytes put into the host's receive queue
    };
    Stats stats() const { return stats_; }

    const TimeSource* Time() const { return time_; }

  private:
    struct LineByte {
        uint8_t value;
        uint64_t startUs;
        uint64_t endUs;
    };

    void Now();
    LineByte Commit(uint8_t value, uint64_t earliestUs, bool fromHost);
    bool NextEvent(uint64_t limit);
    void CompleteHostByte();
    void CompleteDeviceByte();
    bool ApplyFaults(uint8_t* value); // false: the byte is lost
    void EndPacket();
    void StartSend(uint64_t startUs);
    size_t FirstPending() const;

    const TimeSource* time_;
    DeviceModel* device_ = nullptr;
    LineFaults faults_;
    FaultRandom random_;
    uint64_t seedInUse_;
    Stats stats_;

    uint64_t nowUs_ = 0;          // the model has run up to here
    std::deque<LineByte> hostTx_; // host bytes written, each with its slot on the line
    std::deque<LineByte> devTx_;  // device reply bytes committed to the line
    uint64_t lineFreeUs_ = 0;     // end of the last byte committed to the line
    uint64_t burstStartUs_ = 0;   // start of the current back-to-back burst
    uint64_t burstIndex_ = 0;     // bytes committed in that burst
    bool burstFromHost_ = true;   // who is sending it
    std::deque<uint8_t> hostRx_;  // the host's receive queue

    bool breakOn_ = false;
    std::vector<uint8_t> heard_; // the packet the device is hearing
    uint64_t lastHeardUs_ = 0;

    struct PendingSend {
        uint64_t atUs; // earliest start
        std::vector<uint8_t> bytes;
    };
    std::deque<PendingSend> pending_; // device answers waiting for their time and the line
};

} // namespace sim
