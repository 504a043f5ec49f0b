// A scripted adapter for the fuzz targets: whatever bytes the fuzzer chose arrive on the
// line, paced in virtual time, and every driver call is counted. Much lighter than the
// full simulated wire, so a target runs thousands of inputs a second.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzzline {

struct Script {
    std::vector<uint8_t> before; // queued before the first write (a drain must eat them)
    std::vector<uint8_t> after;  // released by the first write, one every paceUs
    uint64_t paceUs = 0;         // 0: all of `after` is queued at the first write
    bool writeFails = false;     // every FT_Write fails
    int probeFailsAt = -1;       // FT_GetDeviceInfo fails from this call on (-1 never)
};

struct Counters {
    std::size_t afterRead = 0; // bytes of `after` handed to the host so far
    std::size_t beforeRead = 0;
    int writes = 0;
    int probes = 0;
    uint64_t releaseUs = 0; // virtual time of the first write
};

// Starts the virtual clock, installs the scripted driver, opens it as the program's adapter
// (adapterHandle set, adapterLost 0) and loads the script.
void Begin(const Script& script);

// Bytes of `after` that are queued but not read yet, at the current virtual time.
std::size_t Queued();

const Counters& Count();

// Uninstalls the driver and restores the real clock.
void End();

// Reports a broken invariant and aborts, so libFuzzer keeps the input and a replay test
// fails.
[[noreturn]] void Fail(const char* what);

// Reads the input as a small options header followed by data.
class Input {
  public:
    Input(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::vector<uint8_t> Take(std::size_t n) {
        const std::size_t k = n < size_ - at_ ? n : size_ - at_;
        std::vector<uint8_t> out(data_ + at_, data_ + at_ + k);
        at_ += k;
        return out;
    }
    std::vector<uint8_t> Rest() { return Take(size_ - at_); }

  private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

} // namespace fuzzline
