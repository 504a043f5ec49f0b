// Device-side faults and hostile devices for the reliability runs. FaultyDevice wraps any
// device model and spoils what it says (a wrong key, bad check bytes, silence after some
// packets); HostileDevice answers every framed request with a chosen kind of abuse.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "sim/device_model.h"
#include "sim/faults.h"

namespace reliability {

struct DeviceFaults {
    double wrongKeyRate = 0;         // a data reply carries the key + 1, with a good check
    double badCrcRate = 0;           // a data reply's check bytes do not check
    int64_t silentAfterPackets = -1; // hears and says nothing after this many packets
    uint64_t seed = 1;
};

class FaultyDevice : public sim::DeviceModel {
  public:
    FaultyDevice(sim::DeviceModel* inner, const DeviceFaults& faults);

    void OnBreak(uint64_t atUs, bool on) override;
    bool OnPacket(uint64_t atUs, const uint8_t* bytes, std::size_t n, std::vector<uint8_t>* reply,
                  uint64_t* replyAtUs) override;
    bool Present(uint64_t atUs) const override { return inner_->Present(atUs); }

    uint64_t wrongKeys = 0; // replies spoiled, by kind
    uint64_t badCrcs = 0;
    bool silenced = false;

  private:
    sim::DeviceModel* inner_;
    DeviceFaults faults_;
    sim::FaultRandom random_;
    int64_t packets_ = 0;
};

enum class Abuse {
    Flood,        // a run of 6000 bytes of noise instead of a reply
    LongJunk,     // 0xAD, the right key, L = 255 and 258 bytes of junk (no good check)
    AliveForever, // the alive reply, over and over, instead of a data reply
    WrongTag,     // a well-formed data reply with the tag "RX"
    OtherKey,     // a well-formed reply carrying the key of another request
    Forge,        // a well-formed reply with the right key and the tag in `forgedTag`,
                  // while the device itself never hears the packet
};

// Wraps a device and answers the packets that `target` picks with the chosen abuse instead
// of the device's own reply; every other packet, the alive requests included, goes to the
// device as usual. A picked packet is not handed to the device at all.
class HostileDevice : public sim::DeviceModel {
  public:
    using Target = std::function<bool(const uint8_t* bytes, std::size_t n)>;
    HostileDevice(sim::DeviceModel* inner, Abuse abuse, Target target)
        : inner_(inner), abuse_(abuse), target_(std::move(target)) {}

    void OnBreak(uint64_t atUs, bool on) override { inner_->OnBreak(atUs, on); }
    bool OnPacket(uint64_t atUs, const uint8_t* bytes, std::size_t n, std::vector<uint8_t>* reply,
                  uint64_t* replyAtUs) override;
    bool Present(uint64_t atUs) const override { return inner_->Present(atUs); }

    uint64_t abused = 0;      // packets answered with the abuse
    char forgedTag[3] = "R8"; // for Abuse::Forge

  private:
    sim::DeviceModel* inner_;
    Abuse abuse_;
    Target target_;
    sim::FaultRandom random_{7};
};

// Interrupts an update at a chosen point: when the packet that `at` picks arrives (or the
// break, for the search), the device is pulled out or the adapter is lost. The packet
// that triggers it is not answered. Afterwards the device is absent until the bench plugs
// the device itself (without this wrapper) in again.
class Interrupter : public sim::DeviceModel {
  public:
    enum class Action { UnplugDevice, LoseAdapter };
    using Trigger = std::function<bool(const uint8_t* bytes, std::size_t n)>;
    Interrupter(sim::DeviceModel* inner, Action action, Trigger at)
        : inner_(inner), action_(action), at_(std::move(at)) {}

    void OnBreak(uint64_t atUs, bool on) override;
    bool OnPacket(uint64_t atUs, const uint8_t* bytes, std::size_t n, std::vector<uint8_t>* reply,
                  uint64_t* replyAtUs) override;
    bool Present(uint64_t atUs) const override;

    bool fired = false;
    uint64_t firedAtUs = 0;

  private:
    sim::DeviceModel* inner_;
    Action action_;
    Trigger at_;
};

} // namespace reliability
