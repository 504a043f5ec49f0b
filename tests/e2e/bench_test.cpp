// The engine's worker runs whole benches on virtual time in this process, and the devices
// are asked afterwards what they hold.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "engine/cycle.h"
#include "platform/host.h"
#include "sim/scenario.h"
#include "sim/sim_adapter.h"
#include "sim/virtual_clock.h"
#include "tests/support/log_recorder.h"

namespace {

// The host seam, scripted: answers the questions in turn (No once the script runs out)
// and keeps what was asked.
struct ScriptedHost {
    static std::vector<int> answers;
    static std::vector<std::string> captions;
    static bool exitRequested;
    static int Box(const char*, const char* caption, unsigned style) {
        captions.emplace_back(caption);
        if ((style & 0x0Fu) != BOX_YESNO) {
            return ANSWER_OK;
        }
        const std::size_t asked = static_cast<std::size_t>(
            std::count(captions.begin(), captions.end(), std::string("Update done o.k.")));
        return asked <= answers.size() ? answers[asked - 1] : ANSWER_NO;
    }
    static void Exit() { exitRequested = true; }
};
std::vector<int> ScriptedHost::answers;
std::vector<std::string> ScriptedHost::captions;
bool ScriptedHost::exitRequested = false;
const HostBackend scriptedHost{ScriptedHost::Box, ScriptedHost::Exit};

uint16_t ImageField(int slot, std::size_t offset) {
    const uint8_t* image = CurrentCatalogue().slots[slot].image;
    return static_cast<uint16_t>(image[offset] | image[offset + 1] << 8);
}

class BenchRun : public ::testing::Test {
  protected:
    void SetUp() override {
        // Just below the wrap of the tick counter, so every time-out crosses it.
        sim::StartVirtualClock(0xFFFFFFFFu - 3000u);
        ScriptedHost::answers.clear();
        ScriptedHost::captions.clear();
        ScriptedHost::exitRequested = false;
        InstallHost(&scriptedHost);
    }
    void TearDown() override {
        InstallHost(nullptr);
        sim::StopVirtualClock();
    }

    // Runs the worker until it ends the program.
    static void RunWorker(sim::Bench& bench) {
        bench.Adapter().Install();
        EXPECT_EQ(UpdateThread(nullptr), 0u);
        EXPECT_TRUE(ScriptedHost::exitRequested);
    }

    testsupport::FreshLog fresh_;
    testsupport::LogRecorder log_;
};

TEST_F(BenchRun, EverySlotOfTheDevelopmentCatalogueIsUpdatedAndHeldExactly) {
    std::vector<int> slots;
    for (int s = 0; s < SLOT_COUNT; ++s) {
        if (CurrentCatalogue().slots[s].image != nullptr) {
            slots.push_back(s);
        }
    }
    ASSERT_EQ(slots.size(), 20u) << "the development catalogue fills slots 0 to 19";
    auto bench = sim::Bench::Create("healthy", sim::VirtualTime());
    ASSERT_NE(bench, nullptr);
    ScriptedHost::answers.assign(slots.size() - 1, ANSWER_YES);
    RunWorker(*bench);

    const std::vector<sim::HeldFirmware> held = bench->Devices();
    ASSERT_EQ(held.size(), slots.size());
    for (std::size_t i = 0; i < slots.size(); ++i) {
        SCOPED_TRACE("slot " + std::to_string(slots[i]));
        const sim::HeldFirmware& h = held[i];
        EXPECT_EQ(h.codeH, ImageField(slots[i], IMAGE_CODE_H_OFFSET));
        EXPECT_EQ(h.slot, slots[i]);
        EXPECT_TRUE(h.complete);
        EXPECT_EQ(h.codeS, ImageField(slots[i], IMAGE_CODE_S_OFFSET));
        EXPECT_LT(h.startCodeS, h.codeS);
        EXPECT_EQ(h.updates, 1u);
        EXPECT_EQ(h.foreignRecords, 0u);
    }
    const std::vector<std::string> appends = log_.Appends();
    EXPECT_EQ(std::count(appends.begin(), appends.end(), "Update done o.k."), 20);
    EXPECT_EQ(std::count(appends.begin(), appends.end(), "Update error. Try again please."), 0);
    EXPECT_EQ(ScriptedHost::captions.size(), 20u);
    EXPECT_TRUE(bench->Exhausted());
}

struct BenchCase {
    const char* scenario;
    sim::UnplugTrigger trigger;
    int yesAnswers;
    // Per device, in order: the slot it should run afterwards (-1: not updated).
    std::vector<int> expected;
    int errorLines;
};

class Benches : public BenchRun, public ::testing::WithParamInterface<BenchCase> {};

// Front devices first, then the one behind; the bench's slots are 0, 1, 2, ... in order.
TEST_P(Benches, EachDeviceEndsAsExpected) {
    const BenchCase& c = GetParam();
    sim::BenchOptions options;
    options.trigger = c.trigger;
    auto bench = sim::Bench::Create(c.scenario, sim::VirtualTime(), options);
    ASSERT_NE(bench, nullptr);
    ScriptedHost::answers.assign(static_cast<std::size_t>(c.yesAnswers), ANSWER_YES);
    RunWorker(*bench);
    const std::vector<sim::HeldFirmware> held = bench->Devices();
    ASSERT_GE(held.size(), c.expected.size());
    for (std::size_t i = 0; i < c.expected.size(); ++i) {
        SCOPED_TRACE("device " + std::to_string(i));
        EXPECT_EQ(held[i].slot, c.expected[i]);
        EXPECT_EQ(held[i].complete, c.expected[i] >= 0);
        if (c.expected[i] >= 0) {
            EXPECT_EQ(held[i].codeS, ImageField(c.expected[i], IMAGE_CODE_S_OFFSET));
        } else {
            EXPECT_EQ(held[i].codeS, held[i].startCodeS);
        }
        EXPECT_EQ(held[i].foreignRecords, 0u);
    }
    const std::vector<std::string> appends = log_.Appends();
    EXPECT_EQ(std::count(appends.begin(), appends.end(), "Update error. Try again please."),
              c.errorLines);
}

using sim::UnplugTrigger;
INSTANTIATE_TEST_SUITE_P(
    Scenarios, Benches,
    ::testing::Values(BenchCase{"healthy", UnplugTrigger::StatusLog, 1, {0, 1}, 0},
                      BenchCase{"healthy", UnplugTrigger::DeviceSide, 1, {0, 1}, 0},
                      BenchCase{"no-echo", UnplugTrigger::StatusLog, 0, {0, -1}, 0},
                      BenchCase{"noisy", UnplugTrigger::StatusLog, 1, {0, 1}, 0},
                      // Device 0 (slot 0) is pulled out halfway; device 1 takes slot 1's image.
                      BenchCase{"unplug-midway", UnplugTrigger::StatusLog, 0, {-1, 1}, 1},
                      BenchCase{"unplug-midway", UnplugTrigger::DeviceSide, 0, {-1, 1}, 1},
                      // The device behind the first one (slot 1) is updated in the bridge pass,
                      // then the front one (slot 0) in the main pass.
                      BenchCase{"bridge", UnplugTrigger::StatusLog, 0, {0, 1}, 0},
                      BenchCase{"bridge", UnplugTrigger::DeviceSide, 1, {0, 1, 2, 3}, 0}),
    [](const ::testing::TestParamInfo<BenchCase>& param) {
        std::string name = std::string(param.param.scenario) +
                           (param.param.trigger == UnplugTrigger::StatusLog ? "_log" : "_device");
        for (char& ch : name) {
            ch = ch == '-' ? '_' : ch;
        }
        return name;
    });

TEST(ScenarioNames, EveryFrontEndFindsTheSameNamedBenches) {
    const std::vector<std::string> expected = {"healthy",     "bridge",     "up-to-date",
                                               "unsupported", "no-echo",    "noisy",
                                               "silent",      "no-adapter", "unplug-midway"};
    EXPECT_EQ(sim::ScenarioNames(), expected);
    for (const std::string& name : expected) {
        EXPECT_FALSE(sim::ScenarioDescription(name).empty()) << name;
        EXPECT_NE(sim::Bench::Create(name, sim::VirtualTime()), nullptr) << name;
    }
    EXPECT_EQ(sim::Bench::Create("nonesuch", sim::VirtualTime()), nullptr);
}

} // namespace
