// The fault campaign: draws each device's faults from the campaign's seed, runs the
// devices bench by bench through the real worker, and holds every outcome against what
// the device holds.
#include "reliability/campaign.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "reliability/bench_run.h"
#include "reliability/faulty_device.h"
#include "reliability/small_catalogue.h"
#include "sim/firmware_device.h"

namespace reliability {
namespace {

const char* const KIND_NAMES[FAULT_KIND_COUNT] = {
    "corrupted bytes", "dropped bytes", "inserted bytes", "missing echo",
    "wrong key",       "bad check",     "device silent",  "device unplugged",
    "adapter lost",    "slow flash",    "unsupported",    "up to date"};

struct Plan {
    bool kinds[FAULT_KIND_COUNT] = {};
    int kindCount = 0;
    int slot = 0;
    sim::FirmwareDeviceConfig config;
    DeviceFaults deviceFaults;
    sim::LineFaults line;
    int64_t loseAdapterAfterCalls = -1;
};

uint32_t Between(sim::FaultRandom* r, uint32_t low, uint32_t high) {
    return low + static_cast<uint32_t>(r->Next() % (high - low + 1));
}

double Fraction(sim::FaultRandom* r) {
    return static_cast<double>(r->Next() >> 11) / static_cast<double>(1ull << 53);
}

Plan Draw(const CampaignOptions& options, uint64_t index) {
    sim::FaultRandom r(options.seed * 0x9E3779B97F4A7C15ull + index + 1);
    Plan p;
    p.slot = static_cast<int>(r.Next() % SMALL_SLOTS);
    p.config.identity.number1 = static_cast<uint16_t>(r.Next());
    p.config.identity.number2 = static_cast<uint16_t>(r.Next());
    p.config.identity.codeH = static_cast<uint16_t>(SMALL_CODE_H0 + p.slot);
    p.config.identity.codeB = SMALL_CODE_B;
    p.config.identity.codeS = 0x0100;
    if (!r.Chance(options.cleanShare)) {
        const int wanted = 1 + static_cast<int>(r.Next() % 3);
        while (p.kindCount < wanted) {
            const int k = static_cast<int>(r.Next() % FAULT_KIND_COUNT);
            const bool clash = (k == FAULT_UNSUPPORTED && p.kinds[FAULT_UP_TO_DATE]) ||
                               (k == FAULT_UP_TO_DATE && p.kinds[FAULT_UNSUPPORTED]);
            if (!p.kinds[k] && !clash) {
                p.kinds[k] = true;
                ++p.kindCount;
            }
        }
    }
    const uint64_t seed = r.Next();
    p.line.seed = seed;
    p.deviceFaults.seed = seed ^ 0x5A5A5A5A5A5A5A5Aull;
    const double max = options.maxLineRate;
    if (p.kinds[FAULT_CORRUPT]) {
        p.line.corruptRate = max * (0.01 + 0.99 * Fraction(&r));
    }
    if (p.kinds[FAULT_DROP]) {
        p.line.dropRate = max * (0.01 + 0.99 * Fraction(&r));
    }
    if (p.kinds[FAULT_INSERT]) {
        p.line.insertRate = max * (0.01 + 0.99 * Fraction(&r));
    }
    p.line.noEcho = p.kinds[FAULT_NO_ECHO];
    if (p.kinds[FAULT_WRONG_KEY]) {
        p.deviceFaults.wrongKeyRate = 0.05 + 0.6 * Fraction(&r);
    }
    if (p.kinds[FAULT_BAD_CRC]) {
        p.deviceFaults.badCrcRate = 0.05 + 0.6 * Fraction(&r);
    }
    if (p.kinds[FAULT_SILENT]) {
        p.deviceFaults.silentAfterPackets = Between(&r, 0, 40);
    }
    if (p.kinds[FAULT_UNPLUG]) {
        p.config.unplugAfterRecords = static_cast<int>(Between(&r, 0, 7));
    }
    if (p.kinds[FAULT_ADAPTER_LOST]) {
        p.loseAdapterAfterCalls = Between(&r, 0, 40000);
    }
    if (p.kinds[FAULT_SLOW_FLASH]) {
        // Reply deadlines are 1500 ms and 4000 ms from the echo; aim around them.
        p.config.flash.sendUs = Between(&r, 1'300'000, 1'700'000);
        p.config.flash.altUs = Between(&r, 1'300'000, 1'700'000);
        p.config.flash.slowUs = Between(&r, 3'800'000, 4'200'000);
        p.config.flash.finalUs = Between(&r, 1'300'000, 1'700'000);
        if (r.Chance(0.3)) {
            p.config.flash.requestUs = Between(&r, 1'300'000, 1'700'000);
        }
    }
    if (p.kinds[FAULT_UNSUPPORTED]) {
        p.config.identity.codeH = UNSUPPORTED_CODE_H;
    }
    if (p.kinds[FAULT_UP_TO_DATE]) {
        p.config.identity.codeS = SMALL_CODE_S;
    }
    return p;
}

bool Logged(const DeviceResult& d, const char* text) {
    for (const std::string& line : d.log) {
        if (line == text) {
            return true;
        }
    }
    return false;
}

void Finding(CampaignTable* t, uint64_t index, const Plan& p, const DeviceResult& d,
             const char* what) {
    std::string kinds;
    for (int k = 0; k < FAULT_KIND_COUNT; ++k) {
        if (p.kinds[k]) {
            kinds += std::string(kinds.empty() ? "" : ", ") + KIND_NAMES[k];
        }
    }
    char line[512];
    std::snprintf(line, sizeof line, "device %llu [%s]: %s (outcome %s at %.3f s)",
                  static_cast<unsigned long long>(index), kinds.empty() ? "clean" : kinds.c_str(),
                  what, OutcomeName(d.outcome), static_cast<double>(d.outcomeUs) / 1e6);
    std::string text = line;
    // What the user saw while it was connected, for the diagnosis.
    const std::size_t from = d.log.size() > 14 ? d.log.size() - 14 : 0;
    for (std::size_t i = from; i < d.log.size(); ++i) {
        text += "\n    | " + d.log[i];
    }
    t->findings.push_back(text);
}

} // namespace

const char* FaultKindName(int kind) {
    return kind >= 0 && kind < FAULT_KIND_COUNT ? KIND_NAMES[kind] : "?";
}

CampaignTable RunCampaign(const CampaignOptions& options,
                          const std::function<void(uint64_t done)>& progress) {
    CampaignTable t;
    const std::unique_ptr<SmallCatalogue> catalogue =
        BuildSmallCatalogue(options.seed, options.recordsPerImage);
    const auto index = std::make_shared<const sim::CatalogueIndex>(catalogue->catalogue);
    uint64_t next = 0;
    while (next < options.cycles) {
        const uint64_t count = std::min<uint64_t>(static_cast<uint64_t>(options.devicesPerBench),
                                                  options.cycles - next);
        std::vector<Plan> plans;
        std::vector<std::unique_ptr<sim::FirmwareDevice>> firmware;
        std::vector<std::unique_ptr<FaultyDevice>> faulty;
        std::vector<BenchDevice> bench;
        for (uint64_t i = 0; i < count; ++i) {
            plans.push_back(Draw(options, next + i));
            const Plan& p = plans.back();
            firmware.push_back(std::make_unique<sim::FirmwareDevice>(p.config, index));
            faulty.push_back(std::make_unique<FaultyDevice>(firmware.back().get(), p.deviceFaults));
            sim::FirmwareDevice* device = firmware.back().get();
            const int slot = p.kinds[FAULT_UNSUPPORTED] || p.kinds[FAULT_UP_TO_DATE] ? -1 : p.slot;
            BenchDevice b;
            b.model = faulty.back().get();
            b.holding = [device, slot] {
                const sim::FirmwareState s = device->State();
                return Holding{slot >= 0 && device->Runs(slot), s.foreignRecords};
            };
            b.line = p.line;
            b.loseAdapterAfterCalls = p.loseAdapterAfterCalls;
            bench.push_back(std::move(b));
        }
        const BenchReport report =
            RunBench(catalogue->catalogue, std::move(bench), options.budgetUs);
        t.virtualSeconds += report.endUs / 1'000'000;
        for (uint64_t i = 0; i < count; ++i) {
            const DeviceResult& d = report.devices[i];
            const Plan& p = plans[i];
            if (d.outcome == Outcome::Pending) {
                continue; // never plugged: the bench ended early at a hang
            }
            ++t.runs;
            if (const char* show = std::getenv("KESTREL_CAMPAIGN_SHOW");
                show != nullptr && std::strtoull(show, nullptr, 10) == next + i) {
                std::string all;
                for (const std::string& l : d.log) {
                    all += "\n    | " + l;
                }
                std::fprintf(stderr, "device %llu plugged %.3f s, adapter lost %d:%s\n",
                             static_cast<unsigned long long>(next + i),
                             static_cast<double>(d.plugUs) / 1e6, d.adapterLost ? 1 : 0,
                             all.c_str());
            }
            for (int k = 0; k < FAULT_KIND_COUNT; ++k) {
                t.faults[k] += p.kinds[k] ? 1 : 0;
            }
            t.lineCorrupted += d.corrupted;
            t.lineDropped += d.dropped;
            t.lineInserted += d.inserted;
            t.repliesSpoiled += faulty[i]->wrongKeys + faulty[i]->badCrcs;
            t.clean += p.kindCount == 0 ? 1 : 0;
            t.wrongImageSends += d.atEnd.foreignRecords;
            if (d.atEnd.foreignRecords > 0) {
                Finding(&t, next + i, p, d, "image records of another device sent to it");
            }
            switch (d.outcome) {
            case Outcome::Success:
                ++t.successes;
                if (d.falseSuccess) {
                    ++t.falseSuccesses;
                    Finding(&t, next + i, p, d, "success shown without the complete image");
                }
                break;
            case Outcome::ErrorLine:
                ++t.errorLines;
                break;
            case Outcome::SilentRestart:
                ++t.silentRestarts;
                break;
            case Outcome::Hang:
                ++t.hangs;
                Finding(&t, next + i, p, d, "no outcome within the budget");
                break;
            case Outcome::Pending:
                break;
            }
            if (p.kindCount == 0 && !(d.outcome == Outcome::Success && !d.falseSuccess)) {
                ++t.cleanNotUpdated;
                Finding(&t, next + i, p, d, "a device without faults was not updated");
            }
            // Alone, these two have one designed report each.
            const bool onlyUnsupported = p.kindCount == 1 && p.kinds[FAULT_UNSUPPORTED];
            const bool onlyUpToDate = p.kindCount == 1 && p.kinds[FAULT_UP_TO_DATE];
            if ((onlyUnsupported && !(d.outcome == Outcome::ErrorLine && d.boxes == 1 &&
                                      Logged(d, "Error: No update data found"))) ||
                (onlyUpToDate &&
                 !(d.outcome == Outcome::ErrorLine && Logged(d, "Device is up to date")))) {
                ++t.wrongReports;
                Finding(&t, next + i, p, d, "reported other than designed");
            }
        }
        next += count;
        if (progress) {
            progress(next);
        }
    }
    return t;
}

bool CampaignPassed(const CampaignTable& t) {
    return t.falseSuccesses == 0 && t.wrongImageSends == 0 && t.hangs == 0 &&
           t.cleanNotUpdated == 0 && t.wrongReports == 0 && t.runs > 0;
}

std::string FormatCampaignTable(const CampaignOptions& options, const CampaignTable& t,
                                double wallSeconds) {
    std::string out;
    char line[160];
    const auto row = [&](const char* name, uint64_t value) {
        std::snprintf(line, sizeof line, "| %-38s | %12llu |\n", name,
                      static_cast<unsigned long long>(value));
        out += line;
    };
    std::snprintf(line, sizeof line,
                  "Fault campaign: seed %llu, %llu cycles, %.1f s wall, %llu s virtual\n",
                  static_cast<unsigned long long>(options.seed),
                  static_cast<unsigned long long>(options.cycles), wallSeconds,
                  static_cast<unsigned long long>(t.virtualSeconds));
    out += line;
    out += "| what                                   |        count |\n";
    out += "|----------------------------------------|-------------:|\n";
    row("runs (devices)", t.runs);
    for (int k = 0; k < FAULT_KIND_COUNT; ++k) {
        const std::string name = std::string("fault: ") + KIND_NAMES[k];
        row(name.c_str(), t.faults[k]);
    }
    row("  line bytes corrupted", t.lineCorrupted);
    row("  line bytes dropped", t.lineDropped);
    row("  noise bytes inserted", t.lineInserted);
    row("  replies spoiled (key, check)", t.repliesSpoiled);
    row("devices without faults", t.clean);
    row("successes", t.successes);
    row("failures with the error line", t.errorLines);
    row("failures with a silent restart", t.silentRestarts);
    row("failures reported other than designed", t.wrongReports);
    row("false successes", t.falseSuccesses);
    row("wrong-image sends", t.wrongImageSends);
    row("hangs", t.hangs);
    row("devices without faults not updated", t.cleanNotUpdated);
    return out;
}

} // namespace reliability
