// The simulated serial line. An event model advanced lazily: every host call first runs
// the line up to the time source's now. Bytes are given their slot on the line when they
// are committed (the host's when written, the device's when its answer starts), so a
// write knows at once when its bytes will have left the adapter.
#include "sim/wire.h"

#include <algorithm>

namespace sim {

Wire::Wire(const TimeSource* time) : time_(time), random_(1), seedInUse_(1) {}

void Wire::AttachDevice(DeviceModel* device) {
    Now();
    device_ = device;
    heard_.clear();
    pending_.clear();
}

void Wire::Reset() {
    device_ = nullptr;
    faults_ = LineFaults{};
    random_.Seed(faults_.seed);
    seedInUse_ = faults_.seed;
    stats_ = Stats{};
    nowUs_ = 0;
    hostTx_.clear();
    devTx_.clear();
    lineFreeUs_ = 0;
    burstStartUs_ = 0;
    burstIndex_ = 0;
    burstFromHost_ = true;
    hostRx_.clear();
    breakOn_ = false;
    heard_.clear();
    lastHeardUs_ = 0;
    pending_.clear();
}

void Wire::Now() {
    AdvanceTo(time_->nowUs());
}

// Gives a byte its slot on the line, at earliestUs or, when the line is busy, right after
// the last byte. One sender's back-to-back bytes count from the start of their burst, so a
// long burst keeps exact times without drift.
Wire::LineByte Wire::Commit(uint8_t value, uint64_t earliestUs, bool fromHost) {
    const uint64_t startUs = std::max(earliestUs, lineFreeUs_);
    if (startUs != lineFreeUs_ || burstIndex_ == 0 || fromHost != burstFromHost_) {
        burstStartUs_ = startUs;
        burstIndex_ = 0;
        burstFromHost_ = fromHost;
    }
    LineByte b{value, startUs, burstStartUs_ + BurstByteEndUs(burstIndex_)};
    ++burstIndex_;
    lineFreeUs_ = b.endUs;
    return b;
}

uint64_t Wire::HostWrite(const uint8_t* bytes, size_t n) {
    Now();
    uint64_t waitUntil = nowUs_;
    for (size_t i = 0; i < n; ++i) {
        hostTx_.push_back(Commit(bytes[i], nowUs_, true));
        // Once byte n - 257 of the write has left, 256 remain: the adapter's buffer takes
        // them and the write returns.
        if (n > ADAPTER_TX_BUFFER_BYTES && i == n - ADAPTER_TX_BUFFER_BYTES - 1) {
            waitUntil = hostTx_.back().endUs;
        }
    }
    return waitUntil;
}

void Wire::HostBreak(bool on) {
    Now();
    breakOn_ = on;
    if (on) {
        heard_.clear(); // a break ends whatever the device was hearing
    }
    if (device_ != nullptr && device_->Present(nowUs_)) {
        device_->OnBreak(nowUs_, on);
    }
}

void Wire::InjectHostBytes(const uint8_t* bytes, size_t n) {
    Now();
    hostRx_.insert(hostRx_.end(), bytes, bytes + n);
}

void Wire::DeviceSendAt(uint64_t atUs, const std::vector<uint8_t>& bytes) {
    Now();
    if (!bytes.empty()) {
        pending_.push_back(PendingSend{std::max(atUs, nowUs_), bytes});
    }
}

// The pending send that goes first: the earliest, the older of two equal ones.
size_t Wire::FirstPending() const {
    size_t first = 0;
    for (size_t i = 1; i < pending_.size(); ++i) {
        if (pending_[i].atUs < pending_[first].atUs) {
            first = i;
        }
    }
    return first;
}

size_t Wire::HostQueued() {
    Now();
    return hostRx_.size();
}

size_t Wire::HostTxQueued() {
    Now();
    return hostTx_.size();
}

size_t Wire::HostRead(uint8_t* out, size_t max) {
    Now();
    const size_t n = std::min(max, hostRx_.size());
    std::copy_n(hostRx_.begin(), n, out);
    hostRx_.erase(hostRx_.begin(), hostRx_.begin() + static_cast<std::ptrdiff_t>(n));
    return n;
}

bool Wire::LineIdle() {
    Now();
    return hostTx_.empty() && devTx_.empty();
}

uint64_t Wire::NextHostArrivalUs() {
    Now();
    if (!hostRx_.empty()) {
        return nowUs_;
    }
    uint64_t next = NEVER_US;
    if (!hostTx_.empty() && (!faults_.noEcho || faults_.insertRate > 0)) {
        next = std::min(next, hostTx_.front().endUs);
    }
    if (!devTx_.empty()) {
        next = std::min(next, devTx_.front().endUs);
    }
    if (!heard_.empty() && device_ != nullptr) {
        next = std::min(next, lastHeardUs_ + PACKET_GAP_US);
    }
    if (!pending_.empty()) {
        const uint64_t start = std::max({pending_[FirstPending()].atUs, lineFreeUs_, nowUs_});
        next = std::min(next, start + BurstByteEndUs(0));
    }
    return next;
}

void Wire::AdvanceTo(uint64_t us) {
    while (NextEvent(us)) {
    }
    nowUs_ = std::max(nowUs_, us);
}

// Runs the earliest event due at or before limit. Returns false when none is due.
bool Wire::NextEvent(uint64_t limit) {
    const uint64_t hostEnd = hostTx_.empty() ? NEVER_US : hostTx_.front().endUs;
    const uint64_t devEnd = devTx_.empty() ? NEVER_US : devTx_.front().endUs;
    uint64_t packetEnd = NEVER_US;
    if (!heard_.empty()) {
        packetEnd = lastHeardUs_ + PACKET_GAP_US;
        // A byte that started before the gap was over continues the packet.
        if (!hostTx_.empty() && hostTx_.front().startUs < packetEnd) {
            packetEnd = NEVER_US;
        }
    }
    uint64_t replyStart = NEVER_US;
    if (!pending_.empty() && hostTx_.empty() && devTx_.empty()) {
        replyStart = std::max(pending_[FirstPending()].atUs, lineFreeUs_);
    }
    const uint64_t next = std::min({hostEnd, devEnd, packetEnd, replyStart});
    if (next == NEVER_US || next > limit) {
        return false;
    }
    nowUs_ = std::max(nowUs_, next);
    if (next == hostEnd) {
        CompleteHostByte();
    } else if (next == devEnd) {
        CompleteDeviceByte();
    } else if (next == packetEnd) {
        EndPacket();
    } else {
        StartSend(replyStart);
    }
    return true;
}

void Wire::CompleteHostByte() {
    const LineByte b = hostTx_.front();
    hostTx_.pop_front();
    ++stats_.hostBytes;
    uint8_t value = b.value;
    // A byte that ends while the break holds the line is lost for every receiver.
    if (!breakOn_ && ApplyFaults(&value)) {
        if (!faults_.noEcho) {
            hostRx_.push_back(value);
        }
        if (device_ != nullptr && device_->Present(b.endUs)) {
            heard_.push_back(value);
            lastHeardUs_ = b.endUs;
        }
    }
    if (faults_.insertRate > 0 && random_.Chance(faults_.insertRate)) {
        hostRx_.push_back(random_.Byte());
        ++stats_.inserted;
    }
}

void Wire::CompleteDeviceByte() {
    const LineByte b = devTx_.front();
    devTx_.pop_front();
    if (device_ == nullptr || !device_->Present(b.endUs)) {
        // Unplugged in the middle of its answer: the rest never comes.
        devTx_.clear();
        lineFreeUs_ = b.endUs;
        return;
    }
    ++stats_.deviceBytes;
    uint8_t value = b.value;
    if (ApplyFaults(&value)) {
        hostRx_.push_back(value);
    }
    if (faults_.insertRate > 0 && random_.Chance(faults_.insertRate)) {
        hostRx_.push_back(random_.Byte());
        ++stats_.inserted;
    }
}

bool Wire::ApplyFaults(uint8_t* value) {
    if (faults_.seed != seedInUse_) {
        seedInUse_ = faults_.seed;
        random_.Seed(seedInUse_);
    }
    bool drop = false;
    bool corrupt = false;
    if (faults_.dropAfterBytes == 0) {
        drop = true;
        faults_.dropAfterBytes = -1;
    } else if (faults_.dropAfterBytes > 0) {
        --faults_.dropAfterBytes;
    }
    if (faults_.corruptAfterBytes == 0) {
        corrupt = true;
        faults_.corruptAfterBytes = -1;
    } else if (faults_.corruptAfterBytes > 0) {
        --faults_.corruptAfterBytes;
    }
    if (faults_.dropRate > 0 && random_.Chance(faults_.dropRate)) {
        drop = true;
    }
    if (faults_.corruptRate > 0 && random_.Chance(faults_.corruptRate)) {
        corrupt = true;
    }
    if (drop) {
        ++stats_.dropped;
        return false;
    }
    if (corrupt) {
        uint8_t mask = random_.Byte();
        if (mask == 0) {
            mask = 0x01;
        }
        *value = static_cast<uint8_t>(*value ^ mask);
        ++stats_.corrupted;
    }
    return true;
}

void Wire::EndPacket() {
    const uint64_t detectedUs = lastHeardUs_ + PACKET_GAP_US;
    std::vector<uint8_t> packet;
    packet.swap(heard_);
    if (device_ == nullptr || !device_->Present(detectedUs)) {
        return;
    }
    std::vector<uint8_t> reply;
    uint64_t replyAt = lastHeardUs_;
    if (device_->OnPacket(lastHeardUs_, packet.data(), packet.size(), &reply, &replyAt) &&
        !reply.empty()) {
        pending_.push_back(PendingSend{std::max(replyAt, detectedUs), std::move(reply)});
    }
}

void Wire::StartSend(uint64_t startUs) {
    const size_t first = FirstPending();
    std::vector<uint8_t> bytes;
    bytes.swap(pending_[first].bytes);
    pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(first));
    if (device_ == nullptr || !device_->Present(startUs)) {
        return;
    }
    for (uint8_t value : bytes) {
        devTx_.push_back(Commit(value, startUs, false));
    }
}

} // namespace sim
