// The first-stage simulated device, and the base of richer models: asleep until it sees a
// break, it answers the alive request with the alive reply after a short turnaround and
// hands every other packet to a handler that may answer it. Simple device faults (going
// silent, an unplug, a wrong key, a bad CRC) are switched on by fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "sim/device_model.h"

namespace sim {

constexpr uint32_t DEVICE_TURNAROUND_US = 1000;

class BasicDevice : public DeviceModel {
  public:
    // Called for every packet that is not the alive request, while awake and present.
    // Fill reply and set replyAtUs (default: atUs + turnaroundUs) to answer; return false
    // for no answer.
    using RequestHandler = std::function<bool(uint64_t atUs, const uint8_t* bytes, size_t n,
                                              std::vector<uint8_t>* reply, uint64_t* replyAtUs)>;

    bool awake = false;                           // a break wakes it
    bool answerAlive = true;                      // false: the alive request goes unanswered
    std::vector<uint8_t> aliveReply{0xAC, 0x3A};  // the answer to it; empty: none
    uint32_t turnaroundUs = DEVICE_TURNAROUND_US; // from the packet's last byte to the answer
    RequestHandler onRequest;

    // Device faults.
    int64_t silentAfterPackets = -1;  // answers this many packets, then nothing (-1 off)
    uint64_t unplugAtUs = UINT64_MAX; // gone from this time on
    bool wrongKey = false;            // data replies carry key + 1 (with a CRC that checks)
    bool badCrc = false;              // data replies carry a CRC that does not check

    // What it saw and did.
    uint64_t breaksSeen = 0;
    uint64_t packetsHeard = 0; // while awake and present
    uint64_t aliveAnswered = 0;
    uint64_t requestsAnswered = 0;
    std::vector<std::vector<uint8_t>> requests; // every packet handed to the handler

    void OnBreak(uint64_t atUs, bool on) override;
    bool OnPacket(uint64_t atUs, const uint8_t* bytes, std::size_t n, std::vector<uint8_t>* reply,
                  uint64_t* replyAtUs) override;
    bool Present(uint64_t atUs) const override { return atUs < unplugAtUs; }

  protected:
    // Applies wrongKey and badCrc to a data reply about to go out.
    void SpoilReply(std::vector<uint8_t>* reply) const;
    uint64_t answered_ = 0; // packets answered, for silentAfterPackets
};

} // namespace sim
