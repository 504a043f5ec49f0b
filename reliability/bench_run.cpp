// The bench runner of the reliability runs. The worker runs on this thread in virtual
// time; the bench acts between the worker's sleeps (plugging, unplugging, bringing a lost
// adapter back) and ends the run from there once every device has had its turn.
#include "reliability/bench_run.h"

#include <cstring>

#include "engine/cycle.h"
#include "engine/identify.h"
#include "engine/program.h"
#include "link/adapter.h"
#include "link/frame.h"
#include "platform/host.h"
#include "sim/sim_adapter.h"
#include "sim/virtual_clock.h"
#include "sim/wire.h"
#include "ui/status_log.h"

namespace reliability {
namespace {

constexpr uint64_t NONE = UINT64_MAX;

// Thrown from the sleep hook to take the worker off the bench: its loop has no end of its
// own while no one answers No.
struct BenchOver {};

struct Run {
    sim::SimAdapter* adapter;
    sim::Wire* wire;
    std::vector<BenchDevice>* devices;
    BenchReport* report;
    uint64_t budgetUs;
    int current = -1;
    bool plugged = false;
    bool searchArmed = false; // a search began while the current device was plugged
    bool engaged = false;     // that search (or a later step) reached an end
    uint64_t unplugAtUs = NONE;
    uint64_t plugAtUs = NONE;
    uint64_t adapterBackUs = NONE;
    bool finished = false;
    sim::Wire::Stats atPlug{};
};

Run* run = nullptr;

DeviceResult& Current() {
    return run->report->devices[static_cast<std::size_t>(run->current)];
}

void ScheduleUnplug(uint64_t atUs) {
    if (run->plugged && run->unplugAtUs == NONE) {
        run->unplugAtUs = atUs;
    }
}

void Observe(void*, LogOp op, const char* text) {
    if (run == nullptr || run->current < 0) {
        return;
    }
    DeviceResult& d = Current();
    const uint64_t now = sim::VirtualNowUs();
    if (op == LogOp::Clear) {
        if (run->plugged && run->engaged && d.outcome == Outcome::Pending) {
            d.outcome = Outcome::SilentRestart;
            d.outcomeUs = now;
            ScheduleUnplug(now);
        }
        return;
    }
    if (op != LogOp::Append) {
        return;
    }
    d.log.emplace_back(text);
    if (!run->plugged) {
        return;
    }
    if (std::strcmp(text, "Device searching...") == 0) {
        run->searchArmed = true;
    } else if (std::strcmp(text, "Device detected.") == 0 ||
               (run->searchArmed && std::strcmp(text, "Device not detected.") == 0)) {
        run->engaged = true;
    }
    if (d.outcome != Outcome::Pending) {
        if (std::strcmp(text, "Disconnect device please.") == 0) {
            ScheduleUnplug(now + BENCH_UNPLUG_DELAY_US);
        }
        return;
    }
    if (std::strcmp(text, "Update done o.k.") == 0) {
        d.outcome = Outcome::Success;
        d.outcomeUs = now;
        const Holding h = (*run->devices)[static_cast<std::size_t>(run->current)].holding();
        d.falseSuccess = !h.complete;
    } else if (std::strcmp(text, "Update error. Try again please.") == 0) {
        d.outcome = Outcome::ErrorLine;
        d.outcomeUs = now;
        ScheduleUnplug(now + BENCH_UNPLUG_DELAY_US);
    }
}

int AnswerBox(const char* text, const char*, unsigned) {
    if (run != nullptr && run->current >= 0) {
        ++Current().boxes;
    }
    return std::strcmp(text, "Update another device?") == 0 ? ANSWER_YES : ANSWER_OK;
}

void NoExit() {}

const HostBackend BENCH_HOST{AnswerBox, NoExit};

// Line faults since the current device was plugged in.
void CountLineFaults() {
    const sim::Wire::Stats now = run->wire->stats();
    DeviceResult& d = Current();
    d.corrupted = now.corrupted - run->atPlug.corrupted;
    d.dropped = now.dropped - run->atPlug.dropped;
    d.inserted = now.inserted - run->atPlug.inserted;
}

void PlugNext(uint64_t now) {
    ++run->current;
    BenchDevice& next = (*run->devices)[static_cast<std::size_t>(run->current)];
    run->wire->Faults() = next.line;
    run->wire->AttachDevice(next.model);
    // Each device brings its own adapter fault; none carries over to the next.
    run->adapter->behaviour.loseAfterCalls = next.loseAdapterAfterCalls;
    run->plugged = true;
    run->atPlug = run->wire->stats();
    run->searchArmed = false;
    run->engaged = false;
    Current().plugUs = now;
}

void AtSleep(void*, uint64_t now) {
    if (run == nullptr) {
        return;
    }
    run->adapter->ClearCalls(); // the call record would grow without bound
    if (run->adapter->behaviour.lost && run->adapterBackUs == NONE) {
        // The user notices and plugs the adapter in again.
        run->adapter->UnplugAt(now);
        run->adapterBackUs = now + ADAPTER_REPLUG_US;
        if (run->current >= 0) {
            Current().adapterLost = true;
        }
    }
    if (run->adapterBackUs != NONE && now >= run->adapterBackUs) {
        run->adapter->behaviour.lost = false;
        run->adapter->behaviour.loseAfterCalls = -1;
        run->adapter->PlugAt(now);
        run->adapterBackUs = NONE;
    }
    if (run->unplugAtUs != NONE && now >= run->unplugAtUs) {
        CountLineFaults();
        run->wire->AttachDevice(nullptr);
        run->wire->Faults() = sim::LineFaults{};
        run->adapter->behaviour.loseAfterCalls = -1;
        run->plugged = false;
        run->unplugAtUs = NONE;
        if (static_cast<std::size_t>(run->current + 1) < run->devices->size()) {
            run->plugAtUs = now + BENCH_PLUG_GAP_US;
        } else {
            run->finished = true;
        }
    }
    if (run->plugAtUs != NONE && now >= run->plugAtUs) {
        run->plugAtUs = NONE;
        PlugNext(now);
    }
    if (run->current >= 0) {
        DeviceResult& d = Current();
        if (d.outcome == Outcome::Pending && now - d.plugUs > run->budgetUs) {
            d.outcome = Outcome::Hang;
            d.outcomeUs = now;
            throw BenchOver{};
        }
    }
    if (run->finished) {
        throw BenchOver{};
    }
}

// The engine's process-wide state, as at program start.
void ResetProgramState() {
    adapterHandle = nullptr;
    adapterLost = 0;
    echoSkip = false;
    txLength = 0;
    rxCount = 0;
    deviceIdentity = DeviceIdentity{};
    finalLength = 0;
}

} // namespace

sim::SimAdapter* BenchAdapter() {
    return run != nullptr ? run->adapter : nullptr;
}

const char* OutcomeName(Outcome outcome) {
    switch (outcome) {
    case Outcome::Pending:
        return "pending";
    case Outcome::Success:
        return "success";
    case Outcome::ErrorLine:
        return "error line";
    case Outcome::SilentRestart:
        return "silent restart";
    case Outcome::Hang:
        return "hang";
    }
    return "?";
}

BenchReport RunBench(const Catalogue& catalogue, std::vector<BenchDevice> devices,
                     uint64_t budgetUs) {
    BenchReport report;
    report.devices.resize(devices.size());
    if (devices.empty()) {
        return report;
    }
    LogReset();
    sim::StartVirtualClock();
    sim::SimAdapter adapter(sim::VirtualTime());
    sim::Wire wire(sim::VirtualTime());
    adapter.AttachWire(&wire);
    adapter.Install();
    InstallHost(&BENCH_HOST);
    SelectCatalogue(&catalogue);
    ResetProgramState();
    Run state{&adapter, &wire, &devices, &report, budgetUs};
    run = &state;
    LogAddObserver(Observe, nullptr);
    sim::SetVirtualSleepHook(AtSleep, nullptr);
    PlugNext(0);
    try {
        UpdateThread(nullptr);
        report.workerReturned = true;
    } catch (const BenchOver&) {
    }
    report.endUs = sim::VirtualNowUs();
    if (state.plugged) {
        CountLineFaults();
    }
    for (std::size_t i = 0; i < devices.size(); ++i) {
        report.devices[i].atEnd = devices[i].holding();
    }
    sim::SetVirtualSleepHook(nullptr, nullptr);
    LogRemoveObserver(Observe, nullptr);
    run = nullptr;
    wire.AttachDevice(nullptr);
    ResetProgramState();
    SelectCatalogue(nullptr);
    InstallHost(nullptr);
    sim::StopVirtualClock();
    LogReset();
    return report;
}

} // namespace reliability
