// The worker on the virtual clock against a scenario's bench, timed from the status log.
// The host answers "Update another device?" with Yes once the bench's next device is
// plugged in and with No after the last one; a sleep hook ends a run that would never end.
#include "bench/virtual_run.h"

#include <time.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "bench/child.h"
#include "catalogue/catalogue.h"
#include "engine/cycle.h"
#include "link/ftd2xx.h"
#include "platform/host.h"
#include "sim/basic_device.h"
#include "sim/firmware_device.h"
#include "sim/reply_encoder.h"
#include "sim/scenario.h"
#include "sim/sim_adapter.h"
#include "sim/virtual_clock.h"
#include "sim/wire.h"
#include "ui/status_log.h"

namespace bench {

namespace {

// The longest a cycle may take in virtual time before the run is ended.
constexpr uint64_t CYCLE_LIMIT_US = 600'000'000;
constexpr uint64_t PLUG_WAIT_STEP_US = 100'000;
constexpr uint64_t PLUG_WAIT_LIMIT_US = 30'000'000;
constexpr char PROGRESS_PREFIX[] = "Programming, please wait (";

double ThreadCpuS() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

struct StopRun {};

// Bytes written and read, in order, kept in one flat store: reads that follow each other
// are merged into one event.
struct TraceEvent {
    uint64_t atUs;
    bool write;
    std::size_t offset;
    std::size_t length;
};

// State of the run in progress; the seams' plain function pointers reach it through here.
struct Run {
    sim::Bench* bench = nullptr;
    int frontDevices = 0;
    int outcomes = 0;
    int pluggedSeen = 0;
    uint64_t lastPlugUs = 0;
    bool exitRequested = false;
    uint64_t firstClearUs = UINT64_MAX;
    uint64_t firstQuestionUs = 0;
    bool firstQuestionOnly = false; // end the run at the first question
    // The cycle being timed.
    CycleTiming cycle;
    uint64_t clearUs = 0;
    double clearCpuS = 0;
    uint64_t progressStartUs = 0;
    std::vector<CycleTiming> cycles;
    // Byte trace.
    bool tracing = false;
    std::vector<TraceEvent> trace;
    std::vector<uint8_t> traceBytes;
    AdapterDriver traced{};
    const AdapterDriver* inner = nullptr;
};

Run* current = nullptr;

void NotePlugged(uint64_t nowUs) {
    const int plugged = current->bench->DevicesPlugged();
    if (plugged > current->pluggedSeen) {
        current->pluggedSeen = plugged;
        current->lastPlugUs = nowUs;
    }
}

void OnLog(void*, LogOp op, const char* text) {
    Run& run = *current;
    const uint64_t now = sim::VirtualNowUs();
    NotePlugged(now);
    if (op == LogOp::Clear) {
        run.firstClearUs = std::min(run.firstClearUs, now);
        run.clearUs = now;
        run.clearCpuS = ThreadCpuS();
        run.cycle = CycleTiming{};
        return;
    }
    if (op == LogOp::Live && std::strncmp(text, PROGRESS_PREFIX, sizeof PROGRESS_PREFIX - 1) == 0) {
        const char* number = text + sizeof PROGRESS_PREFIX - 1;
        if (std::strncmp(number, "  0%", 4) == 0 && run.progressStartUs == 0) {
            run.progressStartUs = now;
        } else if (std::strncmp(number, "100%", 4) == 0 && run.progressStartUs != 0) {
            run.cycle.programming.emplace_back(run.progressStartUs, now);
            run.progressStartUs = 0;
        }
        return;
    }
    if (op != LogOp::Append) {
        return;
    }
    const bool done = std::strcmp(text, "Update done o.k.") == 0;
    if (!done && std::strcmp(text, "Update error. Try again please.") != 0) {
        return;
    }
    run.cycle.success = done;
    // A device plugged in after the cycle began was waited for: that is the bench's gap,
    // not the update's time.
    run.cycle.startUs = std::max(run.clearUs, run.lastPlugUs);
    run.cycle.endUs = now;
    run.cycle.cpuS = ThreadCpuS() - run.clearCpuS;
    run.cycles.push_back(run.cycle);
    run.progressStartUs = 0;
    run.outcomes++;
}

void OnSleep(void*, uint64_t nowUs) {
    NotePlugged(nowUs);
    Run& run = *current;
    const bool allDone = run.outcomes >= run.frontDevices;
    // A cycle that takes this long has stalled (a device that is never let go, a search
    // without end); the run keeps what it has.
    const bool tooLong = nowUs > std::max(run.clearUs, run.lastPlugUs) + CYCLE_LIMIT_US;
    if (allDone || tooLong || run.exitRequested) {
        throw StopRun{};
    }
}

int OnMessageBox(const char*, const char* caption, unsigned) {
    Run& run = *current;
    if (std::strcmp(caption, "Update done o.k.") != 0) {
        return ANSWER_OK;
    }
    if (run.firstQuestionUs == 0) {
        run.firstQuestionUs = sim::VirtualNowUs() - run.firstClearUs;
    }
    if (run.firstQuestionOnly) {
        return ANSWER_NO;
    }
    if (run.outcomes >= run.frontDevices) {
        return ANSWER_NO;
    }
    // Wait, as a person would, until the next device is in.
    const int before = run.bench->DevicesPlugged();
    for (uint64_t waited = 0; waited < PLUG_WAIT_LIMIT_US; waited += PLUG_WAIT_STEP_US) {
        sim::AdvanceVirtualUs(PLUG_WAIT_STEP_US);
        NotePlugged(sim::VirtualNowUs());
        if (run.bench->DevicesPlugged() > before) {
            break;
        }
    }
    return ANSWER_YES;
}

void OnExit() {
    current->exitRequested = true;
}

const HostBackend HOST{&OnMessageBox, &OnExit};

FT_STATUS FT_API TracedWrite(FT_HANDLE h, const void* buffer, uint32_t length, uint32_t* written) {
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    Run& run = *current;
    run.trace.push_back({sim::VirtualNowUs(), true, run.traceBytes.size(), length});
    run.traceBytes.insert(run.traceBytes.end(), bytes, bytes + length);
    return current->inner->Write(h, buffer, length, written);
}

FT_STATUS FT_API TracedRead(FT_HANDLE h, void* buffer, uint32_t count, uint32_t* got) {
    const FT_STATUS status = current->inner->Read(h, buffer, count, got);
    if (status == FT_OK && got != nullptr && *got > 0) {
        const auto* bytes = static_cast<const uint8_t*>(buffer);
        Run& run = *current;
        if (run.trace.empty() || run.trace.back().write) {
            run.trace.push_back({sim::VirtualNowUs(), false, run.traceBytes.size(), 0});
        }
        run.trace.back().length += *got;
        run.traceBytes.insert(run.traceBytes.end(), bytes, bytes + *got);
    }
    return status;
}

bool Contains(const std::vector<uint8_t>& hay, const std::vector<uint8_t>& needle) {
    return !needle.empty() &&
           std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

bool IsPayload(const uint8_t* stored, const std::vector<uint8_t>& bytes) {
    return stored != nullptr && bytes.size() == stored[1] &&
           std::memcmp(bytes.data(), stored + 2, bytes.size()) == 0;
}

// A record of type 2 in the image, with these bytes as payload.
bool IsSlowRecord(const uint8_t* image, const std::vector<uint8_t>& bytes) {
    if (image == nullptr) {
        return false;
    }
    const uint8_t* at = image + 16;
    for (int i = 0; i < 4100; ++i) {
        const uint8_t type = at[0] & 0x0F;
        if (type == 0) {
            return false;
        }
        if (type > 5) {
            at += 2;
            continue;
        }
        const uint32_t length = (static_cast<uint32_t>(at[0] >> 4) << 8) | at[1];
        if (type == 2 && length == bytes.size() && std::memcmp(at + 2, bytes.data(), length) == 0) {
            return true;
        }
        at += 2 + length;
    }
    return false;
}

// The attempts of one cycle that the line made fail: a framed request written again right
// after itself. Whether the host waited for its echo follows the identification's rule:
// every identification starts expecting it, every failed identity attempt flips that.
std::vector<FailedAttempt> FailuresOf(const Run& run, const CycleTiming& c,
                                      const Catalogue& catalogue) {
    struct Framed {
        std::vector<uint8_t> bytes;
        std::vector<uint8_t> readAfter;
    };
    const std::vector<uint8_t> alive = sim::ALIVE_REQUEST_BYTES;
    std::vector<Framed> framed;
    bool collecting = false;
    for (const TraceEvent& e : run.trace) {
        if (e.atUs < c.startUs || e.atUs > c.endUs) {
            continue;
        }
        const auto first = run.traceBytes.begin() + static_cast<std::ptrdiff_t>(e.offset);
        const std::vector<uint8_t> bytes(first, first + static_cast<std::ptrdiff_t>(e.length));
        if (e.write) {
            collecting = bytes != alive;
            if (collecting) {
                framed.push_back({bytes, {}});
            }
        } else if (collecting) {
            framed.back().readAfter.insert(framed.back().readAfter.end(), bytes.begin(),
                                           bytes.end());
        }
    }
    std::vector<FailedAttempt> failures;
    bool echoExpected = true;
    for (std::size_t i = 0; i < framed.size(); ++i) {
        const std::vector<uint8_t>& bytes = framed[i].bytes;
        const bool identity = IsPayload(catalogue.infoRequest, bytes);
        if (identity && (i == 0 || framed[i - 1].bytes != bytes)) {
            echoExpected = true; // a new identification
        }
        const bool retried = i + 1 < framed.size() && framed[i + 1].bytes == bytes;
        if (!retried || IsPayload(catalogue.bridgeRequest, bytes)) {
            continue;
        }
        FailedAttempt f{};
        f.requestBytes = static_cast<uint32_t>(bytes.size());
        f.timeoutMs = IsSlowRecord(c.mainImage, bytes) || IsSlowRecord(c.bridgeImage, bytes)
                          ? FLOOR_SLOW_REPLY_TIMEOUT_MS
                          : FLOOR_REPLY_TIMEOUT_MS;
        f.echo = !echoExpected                          ? Echo::Skipped
                 : Contains(framed[i].readAfter, bytes) ? Echo::Seen
                                                        : Echo::Missing;
        f.identity = identity;
        failures.push_back(f);
        if (identity) {
            echoExpected = !echoExpected;
        }
    }
    return failures;
}

} // namespace

DeviceTiming SimulatedDeviceTiming() {
    // The device answers no earlier than it has taken the packet as ended.
    const auto answer = [](double us) { return std::max(us, double(sim::PACKET_GAP_US)); };
    const sim::FlashTimes flash{};
    DeviceTiming d;
    d.aliveAnswerUs = answer(sim::DEVICE_TURNAROUND_US);
    d.answerUs = answer(flash.requestUs);
    d.flashUs = answer(flash.sendUs);
    d.slowFlashUs = answer(flash.slowUs);
    d.altFlashUs = answer(flash.altUs);
    d.finalUs = answer(flash.finalUs);
    // Start byte, key, length, payload (tag first), two check bytes.
    d.identityReplyBytes = sim::IDENTITY_REPLY_LENGTH + 5;
    d.recordReplyBytes = 2 + 5;
    d.finalReplyBytes = 2 + 5;
    d.bridgeReplyBytes = 2 + 5;
    return d;
}

ScenarioRun RunScenario(const std::string& scenario, const Catalogue* catalogue, bool trace,
                        bool deviceSide) {
    ScenarioRun out;
    out.scenario = scenario;
    const double wallStart = MonotonicS();
    sim::StartVirtualClock();
    SelectCatalogue(catalogue);
    sim::BenchOptions options;
    options.catalogue = catalogue;
    if (deviceSide) {
        options.trigger = sim::UnplugTrigger::DeviceSide;
    }
    LogReset(); // before the bench, which watches the log
    std::unique_ptr<sim::Bench> bench = sim::Bench::Create(scenario, sim::VirtualTime(), options);
    if (!bench) {
        out.error = "unknown scenario";
        sim::StopVirtualClock();
        return out;
    }
    Run run;
    run.bench = bench.get();
    for (const sim::HeldFirmware& h : bench->Devices()) {
        run.frontDevices += h.behind ? 0 : 1;
    }
    out.devices = run.frontDevices;
    out.lineEchoes = !bench->GetWire().Faults().noEcho;
    run.firstQuestionOnly = deviceSide;
    current = &run;

    bench->Adapter().Install();
    if (trace) {
        run.inner = InstalledAdapterDriver();
        run.traced = *run.inner;
        run.traced.Write = &TracedWrite;
        run.traced.Read = &TracedRead;
        InstallAdapterDriver(&run.traced);
    }
    InstallHost(&HOST);
    LogAddObserver(&OnLog, nullptr);
    sim::SetVirtualSleepHook(&OnSleep, nullptr);
    try {
        UpdateThread(nullptr);
    } catch (const StopRun&) {
        // The run has what it came for, or has gone on too long.
    }
    sim::SetVirtualSleepHook(nullptr, nullptr);
    InstallHost(nullptr);
    LogReset();

    // Which image each device received: cycle k belongs to front device k, whose bridge
    // pass went to the device behind it.
    const std::vector<sim::HeldFirmware> held = bench->Devices();
    const Catalogue& used = CurrentCatalogue();
    std::vector<std::pair<int, int>> slots; // main, bridge
    for (const sim::HeldFirmware& h : held) {
        if (!h.behind) {
            slots.emplace_back(h.complete ? h.slot : -1, -1);
        } else if (!slots.empty() && h.complete) {
            slots.back().second = h.slot;
        }
    }
    for (std::size_t k = 0; k < run.cycles.size() && k < slots.size(); ++k) {
        CycleTiming& c = run.cycles[k];
        c.mainSlot = slots[k].first;
        c.bridgeSlot = slots[k].second;
        c.mainImage = c.mainSlot >= 0 ? used.slots[c.mainSlot].image : nullptr;
        c.bridgeImage = c.bridgeSlot >= 0 ? used.slots[c.bridgeSlot].image : nullptr;
        if (trace && c.success) {
            c.failures = FailuresOf(run, c, used);
        }
    }
    out.cycles = run.cycles;
    out.firstQuestionUs = run.firstQuestionUs;
    InstallAdapterDriver(nullptr);
    bench.reset();
    SelectCatalogue(nullptr);
    sim::StopVirtualClock();
    current = nullptr;
    out.wallS = MonotonicS() - wallStart;
    return out;
}

} // namespace bench
