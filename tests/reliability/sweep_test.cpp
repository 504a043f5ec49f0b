// The interruption sweep: one update of a development image is interrupted at every point
// of the cycle (the search, the identification, the bridge request, every record, the
// final packet, the disconnection wait), once by pulling the device out and once by
// losing the adapter. The cycle must end with the report designed for that point, and the
// next attempt, with the same device plugged in again, must leave it holding the complete
// new image.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "reliability/bench_run.h"
#include "reliability/faulty_device.h"
#include "sim/firmware_device.h"
#include "sim/reply_encoder.h"

namespace {

using reliability::Interrupter;
using reliability::Outcome;

constexpr int SLOT = 0;
constexpr uint64_t BUDGET_US = 20ull * 60 * 1'000'000;

enum class Phase { Search, Identify, Bridge, Record, Final, DisconnectWait };

struct Expected {
    Outcome outcome;
    const char* line; // a line the user must have seen, or nullptr
};

// The designed reports, from the update cycle's table of results.
Expected Designed(Phase phase, Interrupter::Action action) {
    const bool lost = action == Interrupter::Action::LoseAdapter;
    switch (phase) {
    case Phase::Search:
        return {Outcome::SilentRestart, "Device not detected."};
    case Phase::Identify:
    case Phase::Bridge:
        return {Outcome::ErrorLine, "Error_GetDeviceInfo !!!"};
    case Phase::Record:
        return {Outcome::ErrorLine, "Error_flash_prog_1 !!!"};
    case Phase::Final:
        // The line still echoes a pulled-out device's packet (status 2, error line); a
        // lost adapter shows no echo (status 1, a silent new cycle).
        return lost ? Expected{Outcome::SilentRestart, nullptr}
                    : Expected{Outcome::ErrorLine, nullptr};
    case Phase::DisconnectWait:
        return {Outcome::Success, "Update done o.k."};
    }
    return {Outcome::Pending, nullptr};
}

bool Is(const uint8_t* bytes, std::size_t n, const uint8_t* packet, std::size_t length) {
    return n == length && std::memcmp(bytes, packet, n) == 0;
}

bool IsAlive(const uint8_t* bytes, std::size_t n) {
    return Is(bytes, n, sim::ALIVE_REQUEST_BYTES.data(), sim::ALIVE_REQUEST_BYTES.size());
}

bool Logged(const reliability::DeviceResult& d, const char* line) {
    for (const std::string& l : d.log) {
        if (l == line) {
            return true;
        }
    }
    return false;
}

class InterruptionSweep : public testing::Test {
  protected:
    void SetUp() override {
        index_ = std::make_shared<const sim::CatalogueIndex>(CurrentCatalogue());
        image_ = index_->Image(SLOT);
        ASSERT_NE(image_, nullptr);
        ASSERT_FALSE(image_->records.empty());
        config_.identity = {321, 654, image_->codeH, image_->codeB, 0x0100};
    }

    Interrupter::Trigger TriggerFor(Phase phase, std::size_t record) const {
        const Catalogue& c = CurrentCatalogue();
        const sim::HeardImage* image = image_;
        switch (phase) {
        case Phase::Search:
            return IsAlive;
        case Phase::Identify:
            return [&c](const uint8_t* b, std::size_t n) {
                return Is(b, n, c.infoRequest + 2, c.infoRequest[1]);
            };
        case Phase::Bridge:
            return [&c](const uint8_t* b, std::size_t n) {
                return Is(b, n, c.bridgeRequest + 2, c.bridgeRequest[1]);
            };
        case Phase::Record:
            return [image, record](const uint8_t* b, std::size_t n) {
                const auto& r = image->records[record];
                return Is(b, n, r.payload, r.length);
            };
        case Phase::Final:
            return [image](const uint8_t* b, std::size_t n) {
                return Is(b, n, image->finalPayload, image->finalLength);
            };
        case Phase::DisconnectWait: {
            auto finalSeen = std::make_shared<bool>(false);
            return [image, finalSeen](const uint8_t* b, std::size_t n) {
                if (Is(b, n, image->finalPayload, image->finalLength)) {
                    *finalSeen = true;
                    return false;
                }
                return *finalSeen && IsAlive(b, n);
            };
        }
        }
        return nullptr;
    }

    // Interrupts the first attempt, then plugs the same device in again; checks both.
    void Sweep(Phase phase, std::size_t record, Interrupter::Action action) {
        sim::FirmwareDevice device(config_, index_);
        Interrupter interrupter(&device, action, TriggerFor(phase, record));
        const auto holding = [&device] {
            return reliability::Holding{device.Runs(SLOT), device.State().foreignRecords};
        };
        std::vector<reliability::BenchDevice> bench(2);
        bench[0].model = &interrupter;
        bench[0].holding = holding;
        bench[1].model = &device;
        bench[1].holding = holding;
        const reliability::BenchReport report =
            reliability::RunBench(CurrentCatalogue(), bench, BUDGET_US);

        ASSERT_TRUE(interrupter.fired) << "the interruption point was never reached";
        const Expected want = Designed(phase, action);
        const reliability::DeviceResult& first = report.devices[0];
        EXPECT_EQ(first.outcome, want.outcome) << reliability::OutcomeName(first.outcome);
        if (want.line != nullptr) {
            EXPECT_TRUE(Logged(first, want.line)) << want.line;
        }
        EXPECT_FALSE(first.falseSuccess);

        const reliability::DeviceResult& second = report.devices[1];
        if (phase == Phase::DisconnectWait) {
            // It was updated before the interruption: the next attempt finds it up to date.
            EXPECT_EQ(second.outcome, Outcome::ErrorLine);
            EXPECT_TRUE(Logged(second, "Device is up to date"));
        } else {
            EXPECT_EQ(second.outcome, Outcome::Success) << reliability::OutcomeName(second.outcome);
            EXPECT_FALSE(second.falseSuccess);
        }
        EXPECT_TRUE(second.atEnd.complete) << "the device lacks its complete new image";
        EXPECT_EQ(second.atEnd.foreignRecords, 0u);
    }

    std::shared_ptr<const sim::CatalogueIndex> index_;
    const sim::HeardImage* image_ = nullptr;
    sim::FirmwareDeviceConfig config_;
};

const Interrupter::Action ACTIONS[] = {Interrupter::Action::UnplugDevice,
                                       Interrupter::Action::LoseAdapter};

TEST_F(InterruptionSweep, EveryPhaseOfTheCycle) {
    for (Interrupter::Action action : ACTIONS) {
        for (Phase phase :
             {Phase::Search, Phase::Identify, Phase::Bridge, Phase::Final, Phase::DisconnectWait}) {
            SCOPED_TRACE(testing::Message()
                         << "phase " << static_cast<int>(phase) << ", "
                         << (action == Interrupter::Action::UnplugDevice ? "device unplugged"
                                                                         : "adapter lost"));
            Sweep(phase, 0, action);
        }
    }
}

TEST_F(InterruptionSweep, EveryRecordOfTheImage) {
    for (Interrupter::Action action : ACTIONS) {
        for (std::size_t k = 0; k < image_->records.size(); ++k) {
            SCOPED_TRACE(testing::Message()
                         << "record " << k << ", "
                         << (action == Interrupter::Action::UnplugDevice ? "device unplugged"
                                                                         : "adapter lost"));
            Sweep(Phase::Record, k, action);
        }
    }
}

} // namespace
