// Device-side faults and hostile devices.
#include "reliability/faulty_device.h"

#include <algorithm>

#include "reliability/bench_run.h"
#include "sim/reply_encoder.h"
#include "sim/sim_adapter.h"

namespace reliability {
namespace {

bool IsAliveRequest(const uint8_t* bytes, std::size_t n) {
    return n == sim::ALIVE_REQUEST_BYTES.size() &&
           std::equal(bytes, bytes + n, sim::ALIVE_REQUEST_BYTES.begin());
}

// Puts a fresh check on a data reply as sent (all bytes but the last two).
void Recheck(std::vector<uint8_t>* reply) {
    const uint16_t crc = sim::DeviceCrc(reply->data(), reply->size() - 2);
    (*reply)[reply->size() - 2] = static_cast<uint8_t>(crc & 0xFF);
    (*reply)[reply->size() - 1] = static_cast<uint8_t>(crc >> 8);
}

} // namespace

FaultyDevice::FaultyDevice(sim::DeviceModel* inner, const DeviceFaults& faults)
    : inner_(inner), faults_(faults), random_(faults.seed) {}

void FaultyDevice::OnBreak(uint64_t atUs, bool on) {
    if (!silenced) {
        inner_->OnBreak(atUs, on);
    }
}

bool FaultyDevice::OnPacket(uint64_t atUs, const uint8_t* bytes, std::size_t n,
                            std::vector<uint8_t>* reply, uint64_t* replyAtUs) {
    if (faults_.silentAfterPackets >= 0 && packets_ >= faults_.silentAfterPackets) {
        silenced = true;
        return false;
    }
    ++packets_;
    if (!inner_->OnPacket(atUs, bytes, n, reply, replyAtUs)) {
        return false;
    }
    const bool dataReply = reply->size() >= 5 && (*reply)[0] == 0xAD;
    if (dataReply && random_.Chance(faults_.wrongKeyRate)) {
        (*reply)[1] = static_cast<uint8_t>((*reply)[1] + 1);
        Recheck(reply);
        ++wrongKeys;
    }
    if (dataReply && random_.Chance(faults_.badCrcRate)) {
        reply->back() = static_cast<uint8_t>(reply->back() ^ 0x5A);
        ++badCrcs;
    }
    return true;
}

bool HostileDevice::OnPacket(uint64_t atUs, const uint8_t* bytes, std::size_t n,
                             std::vector<uint8_t>* reply, uint64_t* replyAtUs) {
    if (IsAliveRequest(bytes, n) || !target_(bytes, n)) {
        return inner_->OnPacket(atUs, bytes, n, reply, replyAtUs);
    }
    ++abused;
    *replyAtUs = atUs + 1000;
    const uint8_t key = n > 1 ? bytes[1] : 0;
    reply->clear();
    switch (abuse_) {
    case Abuse::Flood:
        for (int i = 0; i < 6000; ++i) {
            reply->push_back(random_.Byte());
        }
        break;
    case Abuse::LongJunk:
        *reply = {0xAD, key, 0xFF};
        for (int i = 0; i < 258; ++i) {
            reply->push_back(random_.Byte());
        }
        break;
    case Abuse::AliveForever:
        for (int i = 0; i < 3000; ++i) {
            reply->insert(reply->end(), sim::ALIVE_REPLY_BYTES.begin(),
                          sim::ALIVE_REPLY_BYTES.end());
        }
        break;
    case Abuse::WrongTag:
        *reply = sim::EncodeDataReply(key, std::vector<uint8_t>{'R', 'X', 0x00, 0x00, 0x00, 0x00});
        break;
    case Abuse::Forge:
        *reply = sim::EncodeDataReply(key, std::vector<uint8_t>{static_cast<uint8_t>(forgedTag[0]),
                                                                static_cast<uint8_t>(forgedTag[1]),
                                                                0x00, 0x00});
        break;
    case Abuse::OtherKey:
        *reply = sim::EncodeDataReply(static_cast<uint8_t>(key ^ 0x80),
                                      std::vector<uint8_t>{'R', '8', 0x00, 0x00});
        break;
    }
    return true;
}

void Interrupter::OnBreak(uint64_t atUs, bool on) {
    if (!fired) {
        inner_->OnBreak(atUs, on);
    }
}

bool Interrupter::OnPacket(uint64_t atUs, const uint8_t* bytes, std::size_t n,
                           std::vector<uint8_t>* reply, uint64_t* replyAtUs) {
    if (fired && action_ == Action::UnplugDevice) {
        return false;
    }
    if (!fired && at_(bytes, n)) {
        fired = true;
        firedAtUs = atUs;
        if (action_ == Action::LoseAdapter && BenchAdapter() != nullptr) {
            BenchAdapter()->behaviour.lost = true;
        }
        return false;
    }
    return inner_->OnPacket(atUs, bytes, n, reply, replyAtUs);
}

bool Interrupter::Present(uint64_t atUs) const {
    if (fired && action_ == Action::UnplugDevice && atUs >= firedAtUs) {
        return false;
    }
    return inner_->Present(atUs);
}

} // namespace reliability
