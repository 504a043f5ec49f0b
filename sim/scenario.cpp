// The scenario benches. A bench is a socket on the wire into which devices are plugged
// one after another on a schedule; the schedule is written as the host shows that it has
// finished with a device (from the status log, or from what the device hears).
#include "sim/scenario.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "catalogue/catalogue.h"
#include "sim/firmware_device.h"
#include "sim/reply_encoder.h"
#include "sim/sim_adapter.h"
#include "sim/wire.h"
#include "ui/status_log.h"

namespace sim {
namespace {

constexpr uint64_t US_PER_MS = 1000;
constexpr std::size_t CALL_RECORD_LIMIT = 4096; // a bench runs for hours: keep the record short

struct ScenarioInfo {
    const char* name;
    const char* description;
};

constexpr ScenarioInfo SCENARIOS[] = {
    {"healthy", "one device per catalogue variant, each below its image's level"},
    {"bridge", "devices that grant bridge mode, each carrying a second device behind it"},
    {"up-to-date", "devices that already run their image's level"},
    {"unsupported", "devices of a variant the catalogue has no image for"},
    {"no-echo", "healthy devices on a cable that gives no echo"},
    {"noisy", "healthy devices on a line that corrupts and inserts bytes now and then"},
    {"silent", "a device that is connected but never answers"},
    {"no-adapter", "no USB adapter is plugged in"},
    {"unplug-midway", "the first device is pulled out during programming, then healthy ones"},
};

struct Plugged {
    std::unique_ptr<FirmwareDevice> device;
    uint64_t plugUs = NEVER_US;
    uint64_t unplugUs = NEVER_US;
};

} // namespace

struct Bench::Impl : DeviceModel {
    Impl(const std::string& scenario, const TimeSource* source, const BenchOptions& opts)
        : name(scenario), time(source), options(opts), adapter(source), wire(source) {}

    std::string name;
    const TimeSource* time;
    BenchOptions options;
    std::shared_ptr<const CatalogueIndex> index;
    SimAdapter adapter;
    Wire wire;

    mutable std::mutex mutex; // guards the schedule; readers may be on another thread
    std::vector<Plugged> devices;
    std::size_t current = 0; // the device plugged last (or to be plugged next)
    bool observing = false;

    // Device-side trigger state.
    uint64_t lastAliveUs = NEVER_US;
    uint64_t slowRunStartUs = NEVER_US;
    bool waitingForBreak = false; // a device retired; the next comes after the host's break

    FirmwareDevice* At(uint64_t us) const {
        for (const Plugged& p : devices) {
            if (p.plugUs <= us && us < p.unplugUs) {
                return p.device.get();
            }
        }
        return nullptr;
    }

    // The host has finished with the current device: it goes at unplugUs. With nextPlugUs
    // NEVER_US the next device waits for a break.
    void Retire(uint64_t atUs, uint64_t unplugUs, uint64_t nextPlugUs) {
        if (current >= devices.size()) {
            return;
        }
        Plugged& now = devices[current];
        if (now.plugUs == NEVER_US || now.plugUs > atUs || now.unplugUs != NEVER_US) {
            return; // not plugged in yet, or already on its way out
        }
        now.unplugUs = std::max(unplugUs, now.plugUs);
        ++current;
        if (current < devices.size()) {
            devices[current].plugUs = nextPlugUs;
        }
        waitingForBreak = nextPlugUs == NEVER_US && current < devices.size();
        slowRunStartUs = NEVER_US;
        lastAliveUs = NEVER_US;
    }

    void HostFinished(uint64_t atUs) {
        std::lock_guard<std::mutex> lock(mutex);
        const uint64_t unplugUs = atUs + UNPLUG_DELAY_MS * US_PER_MS;
        Retire(atUs, unplugUs, unplugUs + PLUG_GAP_MS * US_PER_MS);
    }

    static void Observe(void* self, LogOp op, const char* text) {
        if (op != LogOp::Append) {
            return;
        }
        const std::string line(text);
        if (line == "Disconnect device please." || line == "Update error. Try again please.") {
            auto* impl = static_cast<Impl*>(self);
            impl->HostFinished(impl->time->nowUs());
        }
    }

    // Device side: a device that pulled itself out is retired at once.
    void CheckPulledOut() {
        if (options.trigger != UnplugTrigger::DeviceSide || current >= devices.size()) {
            return;
        }
        const Plugged& now = devices[current];
        if (now.plugUs == NEVER_US) {
            return;
        }
        const FirmwareState s = now.device->State();
        if (s.pulledOut) {
            Retire(s.pulledOutAtUs, s.pulledOutAtUs, NEVER_US);
        }
    }

    void OnBreak(uint64_t atUs, bool on) override {
        FirmwareDevice* device = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex);
            CheckPulledOut();
            if (waitingForBreak && !on) {
                waitingForBreak = false;
                devices[current].plugUs = atUs + PLUG_GAP_MS * US_PER_MS;
            }
            slowRunStartUs = NEVER_US;
            lastAliveUs = NEVER_US;
            device = At(atUs);
        }
        if (device != nullptr && device->Present(atUs)) {
            device->OnBreak(atUs, on);
        }
    }

    bool OnPacket(uint64_t atUs, const uint8_t* bytes, std::size_t n, std::vector<uint8_t>* reply,
                  uint64_t* replyAtUs) override {
        if (adapter.Calls().size() > CALL_RECORD_LIMIT) {
            adapter.ClearCalls();
        }
        FirmwareDevice* device = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex);
            CheckPulledOut();
            if (options.trigger == UnplugTrigger::DeviceSide) {
                TrackPings(atUs, bytes, n);
            }
            device = At(atUs);
        }
        return device != nullptr && device->OnPacket(atUs, bytes, n, reply, replyAtUs);
    }

    // The host's disconnection wait pings slowly and sends nothing else: once that has
    // gone on long enough, the device is pulled out.
    void TrackPings(uint64_t atUs, const uint8_t* bytes, std::size_t n) {
        const bool alive = n == ALIVE_REQUEST_BYTES.size() &&
                           std::equal(bytes, bytes + n, ALIVE_REQUEST_BYTES.begin());
        if (!alive) {
            slowRunStartUs = NEVER_US;
            lastAliveUs = NEVER_US;
            return;
        }
        if (lastAliveUs != NEVER_US && atUs - lastAliveUs >= SLOW_PING_GAP_MS * US_PER_MS) {
            if (slowRunStartUs == NEVER_US) {
                slowRunStartUs = lastAliveUs;
            }
            if (atUs - slowRunStartUs >= SLOW_PING_UNPLUG_MS * US_PER_MS) {
                Retire(atUs, atUs, NEVER_US);
                return;
            }
        } else {
            slowRunStartUs = NEVER_US;
        }
        lastAliveUs = atUs;
    }

    // While the next device waits for the host's break, the socket itself listens, so
    // that the break reaches it; with no device plugged in nothing answers.
    bool Present(uint64_t atUs) const override {
        FirmwareDevice* device = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (waitingForBreak) {
                return true;
            }
            device = At(atUs);
            // A device that pulled itself out is retired at the next thing the socket hears.
            if (options.trigger == UnplugTrigger::DeviceSide && device != nullptr &&
                !device->Present(atUs)) {
                return true;
            }
        }
        return device != nullptr && device->Present(atUs);
    }

    void Add(const FirmwareDeviceConfig& config, const FirmwareDeviceConfig* behind = nullptr) {
        Plugged p;
        p.device = std::make_unique<FirmwareDevice>(config, index);
        if (behind != nullptr) {
            p.device->SetBehind(std::make_unique<FirmwareDevice>(*behind, index));
        }
        if (devices.empty()) {
            p.plugUs = 0;
        }
        devices.push_back(std::move(p));
    }
};

namespace {

// A device of the variant of `slot`, at `level`.
FirmwareDeviceConfig VariantDevice(const HeardImage& image, uint16_t level, int serial) {
    FirmwareDeviceConfig c;
    c.identity.number1 = static_cast<uint16_t>(100 + serial);
    c.identity.number2 = static_cast<uint16_t>(4000 + 37 * serial);
    c.identity.codeH = image.codeH;
    c.identity.codeB = image.codeB;
    c.identity.codeS = level;
    return c;
}

// A level that the image of a slot brings up: one below its own.
uint16_t LevelBelow(const HeardImage& image) {
    return image.codeS == FORCE_LEVEL ? 0x0100 : static_cast<uint16_t>(image.codeS - 1);
}

// Slots whose image the host would choose for a device of its variant below its level.
std::vector<int> UpdatableSlots(const Catalogue& catalogue, const CatalogueIndex& index) {
    std::vector<int> slots;
    for (int s = 0; s < SLOT_COUNT; ++s) {
        const uint8_t* image = catalogue.slots[s].image;
        const HeardImage* heard = index.Image(s);
        if (image == nullptr || image[0] != IMAGE_VALID || heard->codeS == 0 ||
            heard->finalPayload == nullptr) {
            continue;
        }
        // Only the first slot of a variant is ever chosen for it.
        bool shadowed = false;
        for (int earlier : slots) {
            const HeardImage* e = index.Image(earlier);
            shadowed = shadowed || (e->codeH == heard->codeH && e->codeB == heard->codeB);
        }
        if (!shadowed) {
            slots.push_back(s);
        }
    }
    return slots;
}

// A codeH that no image in the catalogue carries.
uint16_t UnknownCodeH(const CatalogueIndex& index) {
    for (uint16_t h = 0x0A01;; ++h) {
        bool used = false;
        for (int s = 0; s < SLOT_COUNT; ++s) {
            used = used || (index.Image(s) != nullptr && index.Image(s)->codeH == h);
        }
        if (!used) {
            return h;
        }
    }
}

} // namespace

std::unique_ptr<Bench> Bench::Create(const std::string& scenario, const TimeSource* time,
                                     const BenchOptions& options) {
    if (ScenarioDescription(scenario).empty()) {
        return nullptr;
    }
    auto impl = std::make_unique<Impl>(scenario, time, options);
    const Catalogue& catalogue =
        options.catalogue != nullptr ? *options.catalogue : CurrentCatalogue();
    impl->index = std::make_shared<CatalogueIndex>(catalogue);
    const CatalogueIndex& index = *impl->index;
    const std::vector<int> slots = UpdatableSlots(catalogue, index);
    const auto image = [&](std::size_t i) -> const HeardImage& {
        return *index.Image(slots[i % slots.size()]);
    };
    const auto healthy = [&](std::size_t i) {
        return VariantDevice(image(i), LevelBelow(image(i)), static_cast<int>(i));
    };

    if (!slots.empty()) {
        if (scenario == "healthy" || scenario == "no-echo" || scenario == "noisy" ||
            scenario == "no-adapter") {
            for (std::size_t i = 0; i < slots.size(); ++i) {
                impl->Add(healthy(i));
            }
        } else if (scenario == "bridge") {
            for (std::size_t i = 0; i < 2; ++i) {
                FirmwareDeviceConfig front = healthy(2 * i);
                front.grantsBridge = true;
                const FirmwareDeviceConfig behind = healthy(2 * i + 1);
                impl->Add(front, &behind);
            }
        } else if (scenario == "up-to-date") {
            for (std::size_t i = 0; i < 2; ++i) {
                impl->Add(VariantDevice(image(i), image(i).codeS, static_cast<int>(i)));
            }
        } else if (scenario == "unsupported") {
            for (std::size_t i = 0; i < 2; ++i) {
                FirmwareDeviceConfig c = healthy(i);
                c.identity.codeH = UnknownCodeH(index);
                impl->Add(c);
            }
        } else if (scenario == "silent") {
            FirmwareDeviceConfig c = healthy(0);
            c.answersAlive = false;
            impl->Add(c);
        } else if (scenario == "unplug-midway") {
            FirmwareDeviceConfig first = healthy(0);
            first.unplugAfterRecords = static_cast<int>(image(0).records.size() / 2);
            impl->Add(first);
            for (std::size_t i = 1; i < 3; ++i) {
                impl->Add(healthy(i));
            }
        }
    }

    LineFaults& faults = impl->wire.Faults();
    faults.seed = options.seed;
    if (scenario == "no-echo") {
        faults.noEcho = true;
    } else if (scenario == "noisy") {
        faults.corruptRate = 0.00005;
        faults.insertRate = 0.0001;
    }
    if (scenario == "no-adapter") {
        impl->adapter.behaviour.plugged = false;
    }
    impl->wire.AttachDevice(impl.get());
    impl->adapter.AttachWire(&impl->wire);
    if (options.trigger == UnplugTrigger::StatusLog) {
        impl->observing = LogAddObserver(&Impl::Observe, impl.get());
    }
    return std::unique_ptr<Bench>(new Bench(std::move(impl)));
}

Bench::Bench(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Bench::~Bench() {
    if (impl_->observing) {
        LogRemoveObserver(&Impl::Observe, impl_.get());
    }
    impl_->adapter.AttachWire(nullptr);
    impl_->wire.AttachDevice(nullptr);
}

const std::string& Bench::Name() const {
    return impl_->name;
}
SimAdapter& Bench::Adapter() {
    return impl_->adapter;
}
Wire& Bench::GetWire() {
    return impl_->wire;
}

std::vector<HeldFirmware> Bench::Devices() const {
    const uint64_t now = impl_->time->nowUs();
    std::lock_guard<std::mutex> lock(impl_->mutex);
    std::vector<HeldFirmware> out;
    const auto report = [&](const FirmwareDevice& d, int i, bool behind, bool plugged) {
        const FirmwareState s = d.State();
        HeldFirmware h;
        h.device = i;
        h.behind = behind;
        h.number1 = s.identity.number1;
        h.number2 = s.identity.number2;
        h.codeH = s.identity.codeH;
        h.codeB = s.identity.codeB;
        h.codeS = s.identity.codeS;
        h.startCodeS = s.startCodeS;
        h.slot = s.slot;
        h.complete = s.complete;
        h.updates = s.updates;
        h.recordsAccepted = s.recordsAccepted;
        h.foreignRecords = s.foreignRecords;
        h.plugged = plugged && !s.pulledOut;
        out.push_back(h);
    };
    for (std::size_t i = 0; i < impl_->devices.size(); ++i) {
        const Plugged& p = impl_->devices[i];
        const bool plugged = p.plugUs <= now && now < p.unplugUs;
        report(*p.device, static_cast<int>(i), false, plugged);
        if (p.device->Behind() != nullptr) {
            report(*p.device->Behind(), static_cast<int>(i), true, plugged);
        }
    }
    return out;
}

int Bench::DevicesPlugged() const {
    const uint64_t now = impl_->time->nowUs();
    std::lock_guard<std::mutex> lock(impl_->mutex);
    int n = 0;
    for (const Plugged& p : impl_->devices) {
        n += p.plugUs <= now ? 1 : 0;
    }
    return n;
}

bool Bench::Exhausted() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->current >= impl_->devices.size();
}

std::string Bench::Summary() const {
    const std::vector<HeldFirmware> held = Devices();
    int updated = 0;
    uint32_t foreign = 0;
    for (const HeldFirmware& h : held) {
        updated += h.complete && h.updates > 0 ? 1 : 0;
        foreign += h.foreignRecords;
    }
    std::size_t total = 0;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        total = impl_->devices.size();
    }
    char line[200];
    std::snprintf(line, sizeof line,
                  "%s: %d of %zu devices plugged in, %d updated, %u foreign records",
                  impl_->name.c_str(), DevicesPlugged(), total, updated, foreign);
    return line;
}

const std::vector<std::string>& ScenarioNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> v;
        for (const ScenarioInfo& s : SCENARIOS) {
            v.emplace_back(s.name);
        }
        return v;
    }();
    return names;
}

std::string ScenarioDescription(const std::string& name) {
    for (const ScenarioInfo& s : SCENARIOS) {
        if (name == s.name) {
            return s.description;
        }
    }
    return {};
}

} // namespace sim
