// Hostile replies: a line or a device that floods more than 4096 bytes, sends 0xAD with
// L = 255 and junk, repeats the alive reply without end, answers with a valid frame of the
// wrong tag, or with the key of another request. A single exchange must end with its
// designed status inside its designed time, the receive buffer never overrun (the asan
// build checks every write); a whole cycle must end with its designed report, and the
// next device on the bench must be updated.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "link/adapter.h"
#include "link/frame.h"
#include "reliability/bench_run.h"
#include "reliability/faulty_device.h"
#include "reliability/small_catalogue.h"
#include "sim/firmware_device.h"
#include "sim/sim_adapter.h"
#include "sim/virtual_clock.h"
#include "sim/wire.h"
#include "tests/support/log_recorder.h"

namespace {

using reliability::Abuse;
using reliability::Outcome;

struct AbuseCase {
    Abuse abuse;
    const char* name;
    int status; // of Transact
};

const AbuseCase ABUSES[] = {
    {Abuse::Flood, "flood of 6000 bytes", EXCHANGE_NO_REPLY},
    {Abuse::LongJunk, "0xAD, L = 255 and junk", EXCHANGE_NO_REPLY},
    {Abuse::AliveForever, "alive replies without end", EXCHANGE_NO_REPLY},
    {Abuse::WrongTag, "valid frame, wrong tag", EXCHANGE_OK},
    {Abuse::OtherKey, "key of another request", EXCHANGE_NO_REPLY},
};

bool Any(const uint8_t*, std::size_t) {
    return true;
}

TEST(HostileReplies, OneExchangeEndsAsDesignedInItsTime) {
    for (const AbuseCase& c : ABUSES) {
        for (const bool skip : {false, true}) {
            SCOPED_TRACE(testing::Message() << c.name << (skip ? ", no echo expected" : ""));
            testsupport::FreshLog log;
            sim::StartVirtualClock();
            sim::SimAdapter adapter(sim::VirtualTime());
            sim::Wire wire(sim::VirtualTime());
            adapter.AttachWire(&wire);
            adapter.Install();
            sim::FirmwareDevice device(sim::FirmwareDeviceConfig{});
            reliability::HostileDevice hostile(&device, c.abuse, Any);
            wire.AttachDevice(&hostile);
            ASSERT_EQ(OpenAdapter(true), 0);

            const uint8_t request[6] = {0x4D, 0x21, 0x10, 0x20, 0x30, 0x40};
            std::memcpy(txBuffer, request, sizeof request);
            txLength = sizeof request;
            echoSkip = skip;
            const uint64_t start = sim::VirtualNowMs();
            const int status = Transact(REPLY_TIMEOUT_MS);
            const uint64_t elapsed = sim::VirtualNowMs() - start;

            EXPECT_EQ(status, c.status);
            EXPECT_LE(rxCount, RX_BUFFER_BYTES);
            if (status == EXCHANGE_OK) {
                // Accepted at its last byte; the caller rejects the tag.
                EXPECT_EQ(std::string(reinterpret_cast<const char*>(rxBuffer) + 3, 2), "RX");
                EXPECT_LT(elapsed, 100u);
            } else {
                // The reply phase runs to its deadline, then the 20 ms pause; with the echo
                // confirmed within a few ms, never more than "a little over" both.
                EXPECT_GE(elapsed, REPLY_TIMEOUT_MS + EXCHANGE_PAUSE_MS);
                EXPECT_LE(elapsed, ECHO_TIMEOUT_MS + REPLY_TIMEOUT_MS + EXCHANGE_PAUSE_MS + 2);
            }
            if (c.abuse == Abuse::Flood || c.abuse == Abuse::AliveForever) {
                // More than the receive buffer arrived within the exchange.
                EXPECT_GT(wire.stats().deviceBytes, RX_BUFFER_BYTES);
            }
            CloseAdapter();
            wire.AttachDevice(nullptr);
            sim::StopVirtualClock();
        }
    }
}

// Where in the cycle the abuse answers: the identity request, the third record of the
// image, or the final packet; and the report designed for a request left unanswered there.
struct Place {
    const char* name;
    const char* line;
};

class HostileCycle : public testing::Test {
  protected:
    void SetUp() override {
        catalogue_ = reliability::BuildSmallCatalogue(11);
        index_ = std::make_shared<const sim::CatalogueIndex>(catalogue_->catalogue);
        config_.identity = {1, 2, reliability::SMALL_CODE_H0, reliability::SMALL_CODE_B, 0x0100};
    }

    reliability::HostileDevice::Target At(int place) const {
        const Catalogue& c = catalogue_->catalogue;
        const sim::HeardImage* image = index_->Image(0);
        return [&c, image, place](const uint8_t* b, std::size_t n) {
            const auto is = [&](const uint8_t* p, std::size_t len) {
                return n == len && std::memcmp(b, p, n) == 0;
            };
            switch (place) {
            case 0:
                return is(c.infoRequest + 2, c.infoRequest[1]);
            case 1:
                return is(image->records[2].payload, image->records[2].length);
            default:
                return is(image->finalPayload, image->finalLength);
            }
        };
    }

    // A hostile device, then a healthy one of the same kind.
    reliability::BenchReport RunPair(sim::DeviceModel* first, sim::FirmwareDevice* firstDevice,
                                     sim::FirmwareDevice* second) {
        std::vector<reliability::BenchDevice> bench(2);
        bench[0].model = first;
        bench[0].holding = [firstDevice] {
            return reliability::Holding{firstDevice->Runs(0), firstDevice->State().foreignRecords};
        };
        bench[1].model = second;
        bench[1].holding = [second] {
            return reliability::Holding{second->Runs(0), second->State().foreignRecords};
        };
        return reliability::RunBench(catalogue_->catalogue, bench, 20ull * 60 * 1'000'000);
    }

    std::unique_ptr<reliability::SmallCatalogue> catalogue_;
    std::shared_ptr<const sim::CatalogueIndex> index_;
    sim::FirmwareDeviceConfig config_;
};

bool Logged(const reliability::DeviceResult& d, const char* line) {
    for (const std::string& l : d.log) {
        if (l == line) {
            return true;
        }
    }
    return false;
}

TEST_F(HostileCycle, EachAbuseEndsInTheDesignedReportAndTheNextDeviceIsUpdated) {
    const Place PLACES[] = {{"identity request", "Error_GetDeviceInfo !!!"},
                            {"third record", "Error_flash_prog_1 !!!"},
                            {"final packet", nullptr}};
    for (const AbuseCase& c : ABUSES) {
        for (int place = 0; place < 3; ++place) {
            SCOPED_TRACE(testing::Message() << c.name << " to the " << PLACES[place].name);
            sim::FirmwareDevice device(config_, index_);
            reliability::HostileDevice hostile(&device, c.abuse, At(place));
            sim::FirmwareDevice next(config_, index_);
            const reliability::BenchReport report = RunPair(&hostile, &device, &next);

            const reliability::DeviceResult& first = report.devices[0];
            EXPECT_GT(hostile.abused, 0u);
            EXPECT_EQ(first.outcome, Outcome::ErrorLine) << reliability::OutcomeName(first.outcome);
            if (PLACES[place].line != nullptr) {
                EXPECT_TRUE(Logged(first, PLACES[place].line)) << PLACES[place].line;
            }
            EXPECT_FALSE(device.Runs(0));
            // Every request is given up within its attempts: well inside a minute of virtual
            // time from the plug (a hang would run to the 20-minute budget).
            EXPECT_LT(first.outcomeUs - first.plugUs, 60'000'000u);

            const reliability::DeviceResult& second = report.devices[1];
            EXPECT_EQ(second.outcome, Outcome::Success) << reliability::OutcomeName(second.outcome);
            EXPECT_TRUE(second.atEnd.complete);
        }
    }
}

// The bench's own check: a device that acknowledges every record and the final packet
// without storing any of them must be reported as a false success.
TEST_F(HostileCycle, AForgedAcknowledgementIsCaughtAsAFalseSuccess) {
    sim::FirmwareDevice device(config_, index_);
    const sim::HeardImage* image = index_->Image(0);
    const auto isRecord = [image](const uint8_t* b, std::size_t n) {
        for (const auto& r : image->records) {
            if (r.length == n && std::memcmp(r.payload, b, n) == 0 && r.type != RT_SEND_ALT) {
                return true;
            }
        }
        return false;
    };
    const auto isAlt = [image](const uint8_t* b, std::size_t n) {
        for (const auto& r : image->records) {
            if (r.length == n && std::memcmp(r.payload, b, n) == 0 && r.type == RT_SEND_ALT) {
                return true;
            }
        }
        return false;
    };
    reliability::HostileDevice records(&device, Abuse::Forge, isRecord);
    reliability::HostileDevice alt(&records, Abuse::Forge, isAlt);
    std::strcpy(alt.forgedTag, "R5");
    reliability::HostileDevice final(&alt, Abuse::Forge, [image](const uint8_t* b, std::size_t n) {
        return n == image->finalLength && std::memcmp(b, image->finalPayload, n) == 0;
    });
    std::strcpy(final.forgedTag, "R6");
    sim::FirmwareDevice next(config_, index_);
    const reliability::BenchReport report = RunPair(&final, &device, &next);

    EXPECT_EQ(report.devices[0].outcome, Outcome::Success);
    EXPECT_TRUE(report.devices[0].falseSuccess);
}

} // namespace

namespace {

// An identity reply cut short (tag "R1" but too few bytes for the fields) must not pass for
// an identity: otherwise fields would be read from stale bytes and an image chosen by them.
TEST_F(HostileCycle, AShortIdentityReplyIsNoIdentity) {
    sim::FirmwareDeviceConfig cut = config_;
    cut.identityLength = 5;
    sim::FirmwareDevice device(cut, index_);
    sim::FirmwareDevice next(config_, index_);
    const reliability::BenchReport report = RunPair(&device, &device, &next);

    const reliability::DeviceResult& first = report.devices[0];
    EXPECT_EQ(first.outcome, Outcome::ErrorLine) << reliability::OutcomeName(first.outcome);
    EXPECT_TRUE(Logged(first, "Error_GetDeviceInfo !!!"));
    EXPECT_EQ(device.State().recordsAccepted, 0u);
    EXPECT_EQ(device.State().foreignRecords, 0u);
    EXPECT_EQ(report.devices[1].outcome, Outcome::Success);
    EXPECT_TRUE(report.devices[1].atEnd.complete);
}

} // namespace
