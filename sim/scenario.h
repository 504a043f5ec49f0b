// Named scenarios: benches of simulated devices that every front end shares (the terminal
// program, the test-only FTD2XX.dll, the virtual device on a pty, benchmarks, the fault
// campaign). A bench connects one device after another to one simulated adapter, unplugs
// each a moment after the host has finished with it and plugs in the next.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/virtual_clock.h"

struct Catalogue;

namespace sim {

class SimAdapter;
class Wire;

// How a bench knows that the host has finished with the connected device.
enum class UnplugTrigger {
    // From the status log, in the same process: "Disconnect device please." or
    // "Update error. Try again please." unplugs the device UNPLUG_DELAY_MS later.
    StatusLog,
    // From what the device hears, for a host in another process: once the device has
    // heard only alive requests, each at least SLOW_PING_GAP_MS after the one before,
    // for SLOW_PING_UNPLUG_MS (the host's disconnection wait), it is unplugged.
    DeviceSide,
};

constexpr uint64_t UNPLUG_DELAY_MS = 1000;     // log line to unplug
constexpr uint64_t PLUG_GAP_MS = 1500;         // unplug to the next device plugged in
constexpr uint64_t SLOW_PING_GAP_MS = 50;      // alive requests further apart are "slow"
constexpr uint64_t SLOW_PING_UNPLUG_MS = 1000; // slow pinging this long unplugs

struct BenchOptions {
    UnplugTrigger trigger = UnplugTrigger::StatusLog;
    uint64_t seed = 1;                    // for scenarios with random faults
    const Catalogue* catalogue = nullptr; // nullptr: CurrentCatalogue()
};

// What one device of a bench holds now.
struct HeldFirmware {
    int device = 0;       // 0-based, in the order of plugging in
    bool behind = false;  // a device carried behind another (reached in bridge mode)
    uint16_t number1 = 0; // identity as the device reports it now
    uint16_t number2 = 0;
    uint16_t codeH = 0;
    uint16_t codeB = 0;
    uint16_t codeS = 0;           // the level it runs
    uint16_t startCodeS = 0;      // the level it ran when the bench was built
    int slot = -1;                // catalogue slot whose image it runs since an update; -1: none
    bool complete = false;        // slot's image received whole, in order, unaltered, and finalised
    uint32_t updates = 0;         // completed updates
    uint32_t recordsAccepted = 0; // image records accepted since the last completed update
    uint32_t foreignRecords = 0;  // records heard of images for another codeH/codeB
    bool plugged = false;         // connected now
};

class Bench {
  public:
    // Builds the bench of a named scenario on a time source (VirtualTime() or RealTime()).
    // Returns nullptr for an unknown name.
    static std::unique_ptr<Bench> Create(const std::string& scenario, const TimeSource* time,
                                         const BenchOptions& options = {});
    ~Bench();
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;

    const std::string& Name() const;

    // The simulated adapter (call Install() on it) and the wire behind it.
    SimAdapter& Adapter();
    Wire& GetWire();

    // Every device of the bench, front devices and the devices behind them, in order of
    // plugging in. Safe to call from another thread than the one driving the adapter.
    std::vector<HeldFirmware> Devices() const;

    // Devices plugged in so far, and whether every device has had its turn.
    int DevicesPlugged() const;
    bool Exhausted() const;

    // One line: scenario, devices updated of devices used, foreign records.
    std::string Summary() const;

    struct Impl;

  private:
    explicit Bench(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// The scenario names, in a fixed order, and a one-line description of each ("" unknown).
const std::vector<std::string>& ScenarioNames();
std::string ScenarioDescription(const std::string& name);

} // namespace sim
