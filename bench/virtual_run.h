// Whole update cycles on the virtual clock, in this process: the worker runs against a
// named scenario's bench of simulated devices, and every cycle is timed from the status
// log (virtual time and this thread's CPU time). A trace of the bytes written and read
// lets the floor count the attempts a faulty line made fail.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bench/floor.h"

struct Catalogue;

namespace bench {

// One cycle, from the status log's clear to its outcome line.
struct CycleTiming {
    bool success = false;
    uint64_t startUs = 0; // the clear that began it, or the plugging in of its device if later
    uint64_t endUs = 0;   // "Update done o.k." or "Update error. Try again please."
    double cpuS = 0;      // CPU time of this thread over the cycle
    // Programming passes: from the progress line at 0 to the line at 100.
    std::vector<std::pair<uint64_t, uint64_t>> programming;
    // Attempts the line made fail, found in the byte trace (empty without one).
    std::vector<FailedAttempt> failures;
    // The images the device reports it received: the main pass's, and the bridge pass's
    // (nullptr when bridge mode was refused).
    const uint8_t* mainImage = nullptr;
    const uint8_t* bridgeImage = nullptr;
    int mainSlot = -1;
    int bridgeSlot = -1;
};

struct ScenarioRun {
    std::string scenario;
    std::string error; // empty when the run could be made
    bool lineEchoes = true;
    int devices = 0; // front devices of the bench
    std::vector<CycleTiming> cycles;
    double wallS = 0; // real time the whole run took
    // From the first cycle's clear to the first "Update another device?"; 0 if none.
    uint64_t firstQuestionUs = 0;
};

// Runs the scenario's devices one after another through the worker on the virtual clock.
// `catalogue` nullptr: the compiled-in one. `trace`: record the bytes for the floor.
// `deviceSide`: the bench lets each device go when it hears the host's disconnection
// pings, as it does for a host in another process, instead of reading the status log; the
// run then ends at the first "Update another device?".
ScenarioRun RunScenario(const std::string& scenario, const Catalogue* catalogue, bool trace,
                        bool deviceSide = false);

// The device's own timings, as the simulated firmware device has them by default.
DeviceTiming SimulatedDeviceTiming();

} // namespace bench
