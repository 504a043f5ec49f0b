// The fault campaign: many seeded update cycles, one simulated device each, every device
// with a random mix of faults (line noise, a missing echo, wrong keys, bad check bytes,
// a device that goes silent or is unplugged, a lost adapter, flash times near the reply
// deadlines, devices without an image or already up to date). For every device it checks
// what the user was told against what the device holds, and counts.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace reliability {

enum FaultKind {
    FAULT_CORRUPT,      // bytes corrupted on the line
    FAULT_DROP,         // bytes lost on the line
    FAULT_INSERT,       // noise bytes inserted into the host's receive queue
    FAULT_NO_ECHO,      // the cable gives no echo
    FAULT_WRONG_KEY,    // replies carry the key of another request
    FAULT_BAD_CRC,      // replies with check bytes that do not check
    FAULT_SILENT,       // the device stops answering after some packets
    FAULT_UNPLUG,       // the device is pulled out while records are being sent
    FAULT_ADAPTER_LOST, // the adapter is lost
    FAULT_SLOW_FLASH,   // flash times near the reply deadlines
    FAULT_UNSUPPORTED,  // no image in the catalogue fits the device
    FAULT_UP_TO_DATE,   // the device already runs the catalogue's level
    FAULT_KIND_COUNT
};
const char* FaultKindName(int kind);

struct CampaignOptions {
    uint64_t cycles = 10000;
    uint64_t seed = 1;
    int devicesPerBench = 50;  // devices plugged in one after another per worker run
    int recordsPerImage = 8;   // records of each image of the small catalogue
    double maxLineRate = 1e-2; // upper bound of the corrupt, drop and insert rates
    double cleanShare = 0.3;   // share of devices without any fault
    uint64_t budgetUs = 30ull * 60 * 1'000'000; // no outcome this long after the plug: hang
};

struct CampaignTable {
    uint64_t runs = 0;
    uint64_t faults[FAULT_KIND_COUNT] = {};
    uint64_t lineCorrupted = 0, lineDropped = 0, lineInserted = 0; // bytes hit on the line
    uint64_t repliesSpoiled = 0; // wrong keys and bad check bytes put on replies
    uint64_t clean = 0;          // devices without faults
    uint64_t successes = 0;
    uint64_t errorLines = 0;     // failures reported with the error line
    uint64_t silentRestarts = 0; // failures with a silent new cycle
    uint64_t wrongReports = 0;   // a failure reported other than designed for its kind
    uint64_t falseSuccesses = 0;
    uint64_t wrongImageSends = 0; // image records heard by a device they do not fit
    uint64_t hangs = 0;
    uint64_t cleanNotUpdated = 0; // a device without faults left without its image
    uint64_t virtualSeconds = 0;
    std::vector<std::string> findings; // one line per broken invariant, for diagnosis
};

// Runs the campaign. `progress`, when given, is called after each bench with the devices
// done so far.
CampaignTable RunCampaign(const CampaignOptions& options,
                          const std::function<void(uint64_t done)>& progress = nullptr);

// The table as printed by the runner and kept in docs/reliability.md.
std::string FormatCampaignTable(const CampaignOptions& options, const CampaignTable& table,
                                double wallSeconds);

// True when the invariants hold: no false success, no wrong-image send, no hang, every
// clean device updated, every failure reported as designed.
bool CampaignPassed(const CampaignTable& table);

} // namespace reliability
