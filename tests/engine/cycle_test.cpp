// The update cycle and the worker, driven like a bench: the scripted device is unplugged
// the moment the worker asks for it (or shows its error line), message boxes are answered
// from a script, and a run that would go on for ever is ended when the next cycle starts.
#include "engine/cycle.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine_fixture.h"

namespace enginetest {
namespace {

using Lines = std::vector<std::string>;

constexpr uint16_t H1 = 0x0B11;
constexpr uint16_t H2 = 0x0B22;
constexpr uint16_t B = 0x0235;
constexpr Identity FRONT{123, 4567, H1, B, 0x0100};
constexpr Identity BEHIND{5, 6, H2, B, 0x0100};
const std::string FRONT_ID = "ID (00123:04567) H:0B11 B:0235 S:0100";
const std::string BEHIND_ID = "ID (00005:00006) H:0B22 B:0235 S:0100";
constexpr uint64_t RUN_LIMIT_MS = 10 * 60 * 1000;

enum class Reaction { Exit, NewCycleAtOnce, ErrorThenNewCycle };

class CycleTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        catalogue.SetSimple(0, "KX100_EN", H1, B, 0x013F);
        catalogue.SetSimple(1, "KX200_EN", H2, B, 0x013F);
        device.identity = FRONT;
        device.behind = BEHIND;
        ASSERT_TRUE(LogAddObserver(&CycleTest::Bench, this));
        clock.afterSleep = [this] {
            if (clears_ >= stopAtClear_ || sim::VirtualNowMs() - runStart_ > RUN_LIMIT_MS) {
                throw StopRun{};
            }
        };
    }
    void TearDown() override {
        clock.afterSleep = nullptr;
        LogRemoveObserver(&CycleTest::Bench, this);
        EngineTest::TearDown();
    }

    // Runs the worker until it ends by itself or the stopAtClear-th cycle has started.
    void RunWorker(int stopAtClear = 2) {
        stopAtClear_ = stopAtClear;
        runStart_ = sim::VirtualNowMs();
        try {
            workerResult_ = static_cast<int>(UpdateThread(nullptr));
            workerEnded_ = true;
        } catch (const StopRun&) {
            workerEnded_ = false;
        }
        ASSERT_LE(sim::VirtualNowMs() - runStart_, RUN_LIMIT_MS)
            << "the run did not come to its end";
    }

    // The appended lines of the n-th cycle (1-based), from its clear to the next.
    Lines CycleLines(int n) const {
        Lines out;
        int cycle = 0;
        for (const auto& e : log.Events()) {
            if (e.op == LogOp::Clear) {
                ++cycle;
            } else if (e.op == LogOp::Append && cycle == n) {
                out.push_back(e.text);
            }
        }
        return out;
    }

    std::vector<uint64_t> Clears() const { return log.TimesOf(LogOp::Clear); }

    std::vector<uint64_t> CallTimes(const std::string& name) const {
        std::vector<uint64_t> out;
        for (const sim::DriverCall& c : adapter.Calls()) {
            if (c.name == name) {
                out.push_back(c.atUs / 1000u);
            }
        }
        return out;
    }

    bool workerEnded_ = false;
    int workerResult_ = -1;
    int clears_ = 0;
    int stopAtClear_ = 2;
    uint64_t runStart_ = 0;

  private:
    // The bench: the device is unplugged as soon as the worker asks for it or reports an
    // error, and the cycles are counted by the log's clears.
    static void Bench(void* self, LogOp op, const char* text) {
        auto* t = static_cast<CycleTest*>(self);
        if (op == LogOp::Clear) {
            ++t->clears_;
        } else if (op == LogOp::Append &&
                   (std::strcmp(text, "Disconnect device please.") == 0 ||
                    std::strcmp(text, "Update error. Try again please.") == 0)) {
            t->device.unplugAtUs = sim::VirtualNowUs();
        }
    }
};

TEST_F(CycleTest, EachResultAsTheUserSeesIt) {
    const std::string report = "Firmware for your device is not included.\r\n"
                               "Your device: (00001:00002) H:0C99 B:0235 S:0100\r\n\r\n"
                               "Supported devices:\r\n"
                               "KX100_EN (H:0B11), KX200_EN (H:0B22)";
    const Lines start = {"USB adapter o.k.", "Device searching...", "Device detected.", FRONT_ID};
    auto with = [&start](const Lines& rest) {
        Lines out = start;
        out.insert(out.end(), rest.begin(), rest.end());
        return out;
    };
    const Lines done = {"", "Update done o.k.", "Disconnect device please."};
    const std::string error = "Update error. Try again please.";
    const Lines bridgePass = {"Bridge mode activated", "Device searching...", "Device detected.",
                              BEHIND_ID};

    struct Box {
        std::string caption;
        std::string text;
        unsigned style;
        std::string lastLineBefore;
    };
    const Box another{"Update done o.k.", "Update another device?",
                      BOX_YESNO | BOX_ICONQUESTION | BOX_DEFBUTTON2, "Disconnect device please."};
    struct Case {
        const char* name;
        std::function<void()> setup;
        Lines lines;
        std::vector<Box> boxes;
        Reaction reaction;
        std::vector<std::string> heard; // kinds of the requests, when the case says
    };
    const std::vector<Case> cases = {
        {"success, bridge refused: the main pass alone",
         [] {},
         with({"KX100_EN ver. 01.02", "", FRONT_ID, "", "Update done o.k.",
               "Disconnect device please."}),
         {another},
         Reaction::Exit,
         {"info", "bridge", "bridge", "bridge", "info", "record", "record", "info", "final"}},
        {"success with a bridge pass",
         [this] { device.grantsBridge = true; },
         with({"Bridge mode activated", "Device searching...", "Device detected.", BEHIND_ID,
               "KX200_EN ver. 01.02", "", BEHIND_ID, FRONT_ID, "KX100_EN ver. 01.02", "", FRONT_ID,
               "", "Update done o.k.", "Disconnect device please."}),
         {another},
         Reaction::Exit,
         {"info", "bridge", "info", "record", "record", "info", "final", "info", "record", "record",
          "info", "final"}},
        {"bridge granted at the third request, whatever the reply's tag",
         [this] {
             device.script["bridge"] = {Silent(), Silent(), Tagged("R8")};
         },
         with({"Bridge mode activated", "Device searching...", "Device detected.", BEHIND_ID,
               "KX200_EN ver. 01.02", "", BEHIND_ID, FRONT_ID, "KX100_EN ver. 01.02", "", FRONT_ID,
               "", "Update done o.k.", "Disconnect device please."}),
         {another},
         Reaction::Exit,
         {}},
        {"a main image without final packet sends none, though the bridge pass kept one",
         [this] {
             device.grantsBridge = true;
             catalogue.SetSlot(0, "KX100_EN", IMAGE_VALID, H1, B, 0x013F, {{RT_SEND}});
         },
         with({"Bridge mode activated", "Device searching...", "Device detected.", BEHIND_ID,
               "KX200_EN ver. 01.02", "", BEHIND_ID, FRONT_ID, "KX100_EN ver. 01.02", "", FRONT_ID,
               "", "Update done o.k.", "Disconnect device please."}),
         {another},
         Reaction::Exit,
         {"info", "bridge", "info", "record", "record", "info", "final", "info", "record", "info"}},
        {"1: no device found",
         [this] { device.unplugAtUs = 0; },
         {"USB adapter o.k.", "Device searching...", "Device not detected."},
         {},
         Reaction::NewCycleAtOnce,
         {}},
        {"1: no device found by the bridge pass's search",
         [this] {
             device.grantsBridge = true;
             device.onHeard = [this](const Heard& h) {
                 if (h.kind == "bridge") {
                     device.unplugAtUs = h.atMs * 1000 + 10'000; // after its reply
                 }
             };
         },
         with({"Bridge mode activated", "Device searching...", "Device not detected."}),
         {},
         Reaction::NewCycleAtOnce,
         {}},
        {"1: the final packet's echo was not seen",
         [this] {
             // The cable stops echoing once the device is identified after programming.
             device.onHeard = [this](const Heard& h) {
                 if (h.kind == "info" && device.HeardKinds().size() > 5) {
                     wire.Faults().noEcho = true;
                 }
             };
         },
         with({"KX100_EN ver. 01.02", "", FRONT_ID}),
         {},
         Reaction::NewCycleAtOnce,
         {"info", "bridge", "bridge", "bridge", "info", "record", "record", "info", "final",
          "final", "final", "final", "final"}},
        {"2: the final packet was not acknowledged",
         [this] { device.script["final"].assign(5, Silent()); },
         with({"KX100_EN ver. 01.02", "", FRONT_ID, error}),
         {},
         Reaction::ErrorThenNewCycle,
         {}},
        {"2: the final packet was refused",
         [this] { device.script["final"].assign(5, Tagged("R8")); },
         with({"KX100_EN ver. 01.02", "", FRONT_ID, error}),
         {},
         Reaction::ErrorThenNewCycle,
         {}},
        {"7: the device does not identify itself",
         [this] { device.script["info"].assign(5, Silent()); },
         {"USB adapter o.k.", "Device searching...", "Device detected.", "Error_GetDeviceInfo !!!",
          error},
         {},
         Reaction::ErrorThenNewCycle,
         {}},
        {"121 in the main pass: the unsupported-device report",
         [this] {
             device.identity = Identity{1, 2, 0x0C99, B, 0x0100};
         },
         {"USB adapter o.k.", "Device searching...", "Device detected.",
          "ID (00001:00002) H:0C99 B:0235 S:0100", "Error: No update data found", error},
         {{"Unsupported device", report, BOX_ICONERROR | BOX_OK, "Error: No update data found"}},
         Reaction::ErrorThenNewCycle,
         {}},
        {"121 in the bridge pass: no box, no main pass",
         [this] {
             device.grantsBridge = true;
             device.behind = Identity{1, 2, 0x0C99, B, 0x0100};
         },
         with({"Bridge mode activated", "Device searching...", "Device detected.",
               "ID (00001:00002) H:0C99 B:0235 S:0100", "Error: No update data found", error}),
         {},
         Reaction::ErrorThenNewCycle,
         {"info", "bridge", "info"}},
        {"122: up to date",
         [this] { device.identity.codeS = 0x013F; },
         {"USB adapter o.k.", "Device searching...", "Device detected.",
          "ID (00123:04567) H:0B11 B:0235 S:013F", "KX100_EN ver. 01.02", "Device is up to date",
          error},
         {},
         Reaction::ErrorThenNewCycle,
         {}},
        {"122 in the bridge pass",
         [this] {
             device.grantsBridge = true;
             device.behind.codeS = 0x013F;
         },
         with({"Bridge mode activated", "Device searching...", "Device detected.",
               "ID (00005:00006) H:0B22 B:0235 S:013F", "KX200_EN ver. 01.02",
               "Device is up to date", error}),
         {},
         Reaction::ErrorThenNewCycle,
         {"info", "bridge", "info"}},
        {"201: a record not acknowledged",
         [this] {
             device.script["record"] = {Healthy(), Silent(), Silent(),
                                        Silent(),  Silent(), Silent()};
         },
         with({"KX100_EN ver. 01.02", "", "Error_flash_prog_1 !!!", error}),
         {},
         Reaction::ErrorThenNewCycle,
         {}},
    };

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        device.Reset();
        device.identity = FRONT;
        device.behind = BEHIND;
        wire.Faults().noEcho = false;
        clears_ = 0;
        adapter.ClearCalls();
        log.Clear();
        clock.sleeps.clear();
        host.Answer({ANSWER_NO});
        Lines lastLineAtBox;
        host.onCall = [this, &lastLineAtBox](const HostCall&) {
            lastLineAtBox.push_back(log.Appends().empty() ? "" : log.Appends().back());
        };
        c.setup();

        const size_t hostCallsBefore = host.Calls().size();
        RunWorker();
        host.onCall = nullptr;

        EXPECT_EQ(c.lines, CycleLines(1));
        std::vector<HostCall> calls(host.Calls().begin() + static_cast<long>(hostCallsBefore),
                                    host.Calls().end());
        std::vector<HostCall> boxes;
        for (const HostCall& call : calls) {
            if (call.what == "box") {
                boxes.push_back(call);
            }
        }
        ASSERT_EQ(c.boxes.size(), boxes.size());
        for (size_t i = 0; i < boxes.size(); ++i) {
            EXPECT_EQ(c.boxes[i].caption, boxes[i].caption);
            EXPECT_EQ(c.boxes[i].text, boxes[i].text);
            EXPECT_EQ(c.boxes[i].style, boxes[i].style);
            EXPECT_EQ(c.boxes[i].lastLineBefore, lastLineAtBox[i]);
        }
        if (!c.heard.empty()) {
            EXPECT_EQ(c.heard, device.HeardKinds());
        }

        const std::vector<uint64_t> clears = Clears();
        switch (c.reaction) {
        case Reaction::Exit: {
            EXPECT_TRUE(workerEnded_);
            EXPECT_EQ(0, workerResult_);
            ASSERT_EQ(2u, calls.size());
            EXPECT_EQ("exit", calls.back().what);
            EXPECT_EQ(1u, clears.size());
            // Unplugged when asked: a 100 ms wait and three silent pings of 20 ms, then the
            // adapter is closed and the question asked.
            const uint64_t asked = log.TimesOf(LogOp::Append, "Disconnect device please.").at(0);
            EXPECT_EQ(asked + 160, boxes.at(0).atMs);
            EXPECT_EQ(asked + 160, CallTimes("FT_Close").back());
            EXPECT_TRUE(clock.SleepsOf(ERROR_PAUSE_MS).empty());
            break;
        }
        case Reaction::NewCycleAtOnce: {
            EXPECT_FALSE(workerEnded_);
            ASSERT_EQ(2u, clears.size());
            // Nothing between the end of the cycle's last wait and the next cycle's clear.
            EXPECT_EQ(clock.sleeps.at(clock.sleeps.size() - 2).atMs +
                          clock.sleeps.at(clock.sleeps.size() - 2).ms,
                      clears[1]);
            EXPECT_TRUE(clock.SleepsOf(ERROR_PAUSE_MS).empty());
            EXPECT_TRUE(calls.empty());
            break;
        }
        case Reaction::ErrorThenNewCycle: {
            EXPECT_FALSE(workerEnded_);
            ASSERT_EQ(2u, clears.size());
            const uint64_t shown = log.TimesOf(LogOp::Append, error).at(0);
            EXPECT_EQ(std::vector<uint64_t>{shown}, clock.SleepsOf(ERROR_PAUSE_MS));
            // 2000 ms, then the wait for the unplugged device, then the close.
            EXPECT_EQ(shown + 2000 + 160, clears[1]);
            EXPECT_EQ(shown + 2000 + 160, CallTimes("FT_Close").back());
            EXPECT_EQ(c.boxes.size() + 0, calls.size());
            break;
        }
        }
    }
}

TEST_F(CycleTest, RefusedBridgeThenSecondBreakAnd200ms) {
    RunWorker();
    ASSERT_TRUE(workerEnded_);
    // Three bridge requests; then the break and 200 ms; then the identity request of the
    // main pass, whose line is not shown.
    const std::vector<uint64_t> breaksOff = CallTimes("FT_SetBreakOff");
    ASSERT_EQ(2u, breaksOff.size());
    EXPECT_EQ(1u, clock.SleepsOf(AFTER_BREAK_MS).size());
    EXPECT_EQ(breaksOff[1], clock.SleepsOf(AFTER_BREAK_MS).at(0));
    ASSERT_GE(device.heard.size(), 5u);
    EXPECT_EQ("bridge", device.heard[3].kind);
    EXPECT_EQ("info", device.heard[4].kind);
    EXPECT_LT(device.heard[3].atMs, breaksOff[1]);
    EXPECT_GT(device.heard[4].atMs, breaksOff[1] + 200);
    EXPECT_EQ(2u, device.breaksSeen);
}

TEST_F(CycleTest, AnotherDeviceYesThenNo) {
    host.Answer({ANSWER_YES, ANSWER_NO});
    const Identity second{200, 300, H2, B, 0x0001};
    host.onCall = [this, second](const HostCall& call) {
        if (call.what == "box") {
            // The next device is plugged in while the question is on screen.
            device.unplugAtUs = sim::NEVER_US;
            device.awake = false;
            device.identity = second;
        }
    };
    RunWorker(3);
    host.onCall = nullptr;

    ASSERT_TRUE(workerEnded_);
    EXPECT_EQ(0, workerResult_);
    ASSERT_EQ(3u, host.Calls().size());
    EXPECT_EQ("box", host.Calls()[0].what);
    EXPECT_EQ("box", host.Calls()[1].what);
    EXPECT_EQ("exit", host.Calls()[2].what);
    // Yes: the next cycle starts at once and clears the log.
    const std::vector<uint64_t> clears = Clears();
    ASSERT_EQ(2u, clears.size());
    EXPECT_EQ(host.Calls()[0].atMs, clears[1]);
    EXPECT_EQ((Lines{"USB adapter o.k.", "Device searching...", "Device detected.",
                     "ID (00200:00300) H:0B22 B:0235 S:0001", "KX200_EN ver. 01.02", "",
                     "ID (00200:00300) H:0B22 B:0235 S:0001", "", "Update done o.k.",
                     "Disconnect device please."}),
              CycleLines(2));
}

TEST_F(CycleTest, SupportedListBreaksLinesLongerThan80) {
    const std::string n30(30, 'A');
    const std::string n31(31, 'B');
    struct Case {
        const char* name;
        std::vector<std::pair<int, std::string>> slots; // valid images, codeH 0x0B00 + slot
        std::string list;
    };
    const std::vector<Case> cases = {
        {"line of exactly 80 goes on",
         {{0, n30}, {1, n30}, {2, "KX1_EN"}},
         n30 + " (H:0B00), " + n30 + " (H:0B01), KX1_EN (H:0B02)"},
        {"line of 81 breaks before the next entry",
         {{0, n30}, {1, n31}, {2, "KX1_EN"}},
         n30 + " (H:0B00), " + n31 + " (H:0B01),\r\nKX1_EN (H:0B02)"},
        {"the last line carries no comma",
         {{0, n30}, {1, n31}},
         n30 + " (H:0B00), " + n31 + " (H:0B01)"},
        {"slot 0 not listed: no separator before the first entry",
         {{3, "KX1_EN"}, {20, "KX2_FR"}},
         "KX1_EN (H:0B03), KX2_FR (H:0B14)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestCatalogue cat;
        for (const auto& [slot, name] : c.slots) {
            cat.SetSimple(slot, name, static_cast<uint16_t>(0x0B00 + slot), B, 1);
        }
        // Passed over: a skipped image and one with a bad status.
        cat.SetSimple(5, "SKIPPED_EN", 0x0B05, B, 1, IMAGE_SKIPPED);
        cat.SetSimple(6, "BROKEN_EN", 0x0B06, B, 1, 0x07);
        SelectCatalogue(cat.Get());
        char text[REPORT_BYTES] = "List:";
        AppendSupportedList(text, sizeof text);
        EXPECT_EQ("List:" + c.list, std::string(text));
    }
}

TEST_F(CycleTest, SupportedListNeverWritesPastItsArea) {
    TestCatalogue cat;
    for (int slot = 0; slot < SLOT_COUNT; ++slot) {
        cat.SetSimple(slot, std::string(MAX_NAME_CHARS, static_cast<char>('A' + slot)),
                      static_cast<uint16_t>(slot), B, 1);
    }
    SelectCatalogue(cat.Get());
    struct Case {
        size_t filled; // characters already in the text
        size_t size;   // the area's capacity
    };
    for (const Case& c : {Case{0, REPORT_BYTES}, Case{4000, REPORT_BYTES}, Case{4998, REPORT_BYTES},
                          Case{4999, REPORT_BYTES}, Case{0, 1}, Case{10, 40}}) {
        SCOPED_TRACE(std::to_string(c.filled) + " of " + std::to_string(c.size));
        std::vector<char> area(c.size + 64, '#');
        std::memset(area.data(), 'x', c.filled);
        area[c.filled] = '\0';
        AppendSupportedList(area.data(), c.size);
        const size_t length = std::strlen(area.data());
        // Every entry is longer than 80 characters, so each ends its line: 21 entries of
        // 165 + 9 characters and 20 line ends of 3.
        const size_t whole = 21 * (MAX_NAME_CHARS + 9) + 20 * 3;
        EXPECT_EQ(std::min(c.size - 1, c.filled + whole), length);
        for (size_t i = c.size; i < area.size(); ++i) {
            ASSERT_EQ('#', area[i]) << "written at " << i;
        }
    }
}

} // namespace
} // namespace enginetest
