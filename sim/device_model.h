// What sits on the far side of the simulated wire: a device model. The wire tells it what
// it hears; it answers with bytes and the earliest time they may go out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

class DeviceModel {
  public:
    virtual ~DeviceModel() = default;

    // A break started (on) or ended (!on) on the line at atUs.
    virtual void OnBreak(uint64_t atUs, bool on) = 0;

    // A packet arrived: the bytes the device heard between two idle spells of the line,
    // the last of them complete at atUs. To answer, fill `reply` and set `replyAtUs` to the
    // earliest time its first byte may go out (turnaround, flash time); the wire starts it
    // then or as soon as the line is free. Returns false for no answer.
    virtual bool OnPacket(uint64_t atUs, const uint8_t* bytes, std::size_t n,
                          std::vector<uint8_t>* reply, uint64_t* replyAtUs) = 0;

    // False once the device has been unplugged (it then hears and says nothing).
    virtual bool Present(uint64_t atUs) const {
        (void)atUs;
        return true;
    }
};

} // namespace sim
