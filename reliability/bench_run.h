// Runs the real worker (UpdateThread) in virtual time against a line of simulated devices
// plugged in one after another, as at a bench: each device is unplugged a second after the
// host has told the user to disconnect it (after a success or an error line), or at once
// after a silent restart, and the next one is plugged in 1.5 s later. Every device gets
// an outcome read from what the user saw, checked against what the device now holds.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "sim/device_model.h"
#include "sim/faults.h"

namespace sim {
class SimAdapter;
class Wire;
} // namespace sim

namespace reliability {

constexpr uint64_t BENCH_UNPLUG_DELAY_US = 1'000'000;
constexpr uint64_t BENCH_PLUG_GAP_US = 1'500'000;
constexpr uint64_t ADAPTER_REPLUG_US = 2'000'000; // a lost adapter is back after this

enum class Outcome {
    Pending,       // the run ended before the device had an outcome
    Success,       // "Update done o.k."
    ErrorLine,     // "Update error. Try again please."
    SilentRestart, // the next cycle began (log cleared) with neither line
    Hang,          // no outcome within the budget
};
const char* OutcomeName(Outcome outcome);

// What the bench asks of the device it has just checked.
struct Holding {
    bool complete = false; // holds the expected image, whole, unaltered and finalised
    uint32_t foreignRecords = 0;
};

struct BenchDevice {
    sim::DeviceModel* model = nullptr; // what sits on the wire (may wrap the firmware device)
    // Reads what the device holds; called at "Update done o.k." and at the end of the run.
    std::function<Holding()> holding;
    sim::LineFaults line;               // the line while this device is plugged
    int64_t loseAdapterAfterCalls = -1; // the adapter is lost this many calls after the plug
};

struct DeviceResult {
    Outcome outcome = Outcome::Pending;
    bool falseSuccess = false;    // success shown while the device lacks its image
    Holding atEnd;                // what it held when the run ended
    bool adapterLost = false;     // the adapter was lost while it was plugged
    uint64_t plugUs = 0;          // when it was plugged in
    uint64_t outcomeUs = 0;       // when its outcome was seen
    std::vector<std::string> log; // appended lines while it was the current device
    int boxes = 0;                // message boxes shown while it was current
    // Line faults that struck while it was plugged in.
    uint64_t corrupted = 0, dropped = 0, inserted = 0;
};

struct BenchReport {
    std::vector<DeviceResult> devices;
    uint64_t endUs = 0;
    bool workerReturned = false; // UpdateThread ended by itself (it never should here)
};

// Runs the worker over `devices` with catalogue `catalogue`. A device with no outcome
// `budgetUs` after its plug is a hang and ends the run.
// The simulated adapter of the run in progress (nullptr outside RunBench), for device
// models that act on it.
sim::SimAdapter* BenchAdapter();

BenchReport RunBench(const Catalogue& catalogue, std::vector<BenchDevice> devices,
                     uint64_t budgetUs);

} // namespace reliability
