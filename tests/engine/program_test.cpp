// Image programming against a scripted device on the simulated line, in virtual time:
// the percentages, the record types, the retries and the final packet.
#include "engine/program.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine_fixture.h"

namespace enginetest {
namespace {

using Lines = std::vector<std::string>;
constexpr uint16_t H = 0x0B11;
constexpr uint16_t B = 0x0235;

// The progress line for a percentage, as the user sees it.
std::string Progress(int percent) {
    char text[64];
    std::snprintf(text, sizeof text, "Programming, please wait (%3d%%)", percent);
    return text;
}

std::vector<std::string> ProgressTexts(const std::vector<int>& values) {
    std::vector<std::string> out;
    for (int v : values) {
        out.push_back(Progress(v));
    }
    return out;
}

std::vector<int> Range(int from, int to) {
    std::vector<int> out;
    for (int v = from; v <= to; ++v) {
        out.push_back(v);
    }
    return out;
}

std::vector<int> Join(std::initializer_list<std::vector<int>> parts) {
    std::vector<int> out;
    for (const auto& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

class ProgramTest : public EngineTest {
  protected:
    // A fresh line and device for one case of a table, with the device's identity fitting
    // slot 0 of `cat` (level 0x013F) at a lower level.
    void StartCase(TestCatalogue& cat) {
        TearDown();
        SetUp();
        SelectCatalogue(cat.Get());
        device.UseCatalogue(cat);
        OpenLine();
        device.heard.clear();
        device.script.clear();
        wire.Faults().noEcho = false;
        deviceIdentity = DeviceIdentity{1, 2, H, B, 0x0100};
        finalLength = 0;
    }

    std::vector<int> HeardIndices(const char* kind = "record") const {
        std::vector<int> out;
        for (const Heard& h : device.heard) {
            if (h.kind == kind) {
                out.push_back(h.index);
            }
        }
        return out;
    }
};

TEST_F(ProgramTest, PercentagesOfA39RecordStream) {
    std::vector<Rec> records(37, Rec{RT_SEND});
    records.push_back(Rec{RT_SEND_SLOW});
    records.push_back(Rec{RT_FINAL, 170});
    TestCatalogue cat;
    cat.SetSlot(0, "KX100_EN", IMAGE_VALID, H, B, 0x013F, records);
    StartCase(cat);

    // Which record each live write followed: the requests heard so far tell the sending
    // records apart; the kept final packet marks the writes of the last record.
    struct Write {
        std::string text;
        size_t heard;
        bool finalKept;
    };
    struct Context {
        std::vector<Write> writes;
        const ScriptedDevice* device;
    } context{{}, &device};
    auto observe = [](void* self, LogOp op, const char* text) {
        auto* c = static_cast<Context*>(self);
        if (op == LogOp::Live) {
            c->writes.push_back(Write{text, c->device->heard.size(), finalLength != 0});
        }
    };
    ASSERT_TRUE(LogAddObserver(observe, &context));
    const int result = flash_prog();
    LogRemoveObserver(observe, &context);

    EXPECT_EQ(0, result);
    EXPECT_EQ((Lines{"KX100_EN ver. 01.02", ""}), log.Appends());
    EXPECT_EQ(Range(0, 37), HeardIndices());

    std::map<std::string, std::vector<std::string>> byRow;
    for (size_t i = 0; i < context.writes.size(); ++i) {
        const Write& w = context.writes[i];
        std::string row;
        if (i + 1 == context.writes.size()) {
            row = "end";
        } else if (w.heard == 0) {
            row = "start";
        } else if (w.finalKept) {
            row = "38";
        } else {
            const size_t record = w.heard - 1;
            row = record >= 5 && record <= 35 ? "5-35" : std::to_string(record);
        }
        byRow[row].push_back(w.text);
    }
    const std::vector<std::pair<std::string, std::vector<int>>> table = {
        {"start", {0}},       {"0", {0, 1, 2}}, {"1", {3, 4, 5}},        {"2", {6, 7}},
        {"3", {8, 9, 10}},    {"4", {11, 12}},  {"5-35", Range(13, 92)}, {"36", {93, 94}},
        {"37", {95, 96, 97}}, {"38", {98, 99}}, {"end", {100}},
    };
    for (const auto& [row, values] : table) {
        EXPECT_EQ(ProgressTexts(values), byRow[row]) << "after " << row;
    }
    EXPECT_EQ(table.size(), byRow.size());
    EXPECT_EQ("Programming, please wait (  0%)", context.writes.front().text);
    EXPECT_EQ("Programming, please wait (100%)", context.writes.back().text);

    ASSERT_EQ(170, finalLength);
    EXPECT_EQ(0, std::memcmp(finalPacket, cat.MadePayload(38).data(), 170));
}

TEST_F(ProgramTest, StreamShapes) {
    struct Case {
        const char* name;
        std::vector<Rec> records;
        std::vector<int> heard;    // indices of the records sent
        std::vector<int> progress; // every percentage written, in order
        int finalFrom;             // index of the payload kept as final packet; -1: none
    };
    const std::vector<Case> cases = {
        {"first record is the end", {}, {}, {0, 100}, -1},
        {"stop as the third record",
         {{RT_SEND}, {RT_SEND}, {RT_STOP}, {RT_SEND}},
         {0, 1},
         Join({{0}, Range(0, 24), Range(25, 49)}),
         -1},
        {"fillers count but take no step",
         {{RT_SEND}, {RT_FILLER}, {RT_SEND}, {15}, {9}},
         {0, 2},
         Join({{0}, Range(0, 19), Range(20, 59), {100}}),
         -1},
        {"the later of two final records is kept",
         {{RT_FINAL, 5}, {RT_SEND_ALT}, {RT_FINAL, 12}, {RT_SEND}},
         {1, 3},
         Join({{0}, Range(0, 24), Range(25, 49), Range(50, 74), Range(75, 99), {100}}),
         2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestCatalogue cat;
        cat.SetSlot(0, "KX100_EN", IMAGE_VALID, H, B, 0x013F, c.records);
        StartCase(cat);

        EXPECT_EQ(0, flash_prog());
        EXPECT_EQ(c.heard, HeardIndices());
        EXPECT_EQ(ProgressTexts(c.progress), LiveTexts());
        EXPECT_EQ((Lines{"KX100_EN ver. 01.02", ""}), log.Appends());
        if (c.finalFrom < 0) {
            EXPECT_EQ(0, finalLength);
            device.heard.clear();
            EXPECT_EQ(0, SendFinalPacket());
            EXPECT_TRUE(device.heard.empty());
        } else {
            // Payloads are made in stream order; the kept one is the record's own.
            size_t made = 0;
            for (int i = 0; i < c.finalFrom; ++i) {
                made += c.records[static_cast<size_t>(i)].type < RT_FILLER ? 1 : 0;
            }
            const std::vector<uint8_t>& payload = cat.MadePayload(made);
            ASSERT_EQ(static_cast<int>(payload.size()), finalLength);
            EXPECT_EQ(0, std::memcmp(finalPacket, payload.data(), payload.size()));
        }
    }
}

TEST_F(ProgramTest, ReplyTagMustMatchTheRecordType) {
    struct Case {
        uint8_t type;
        const char* tag;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {RT_SEND, "R8", true},      {RT_SEND, "R5", false},      {RT_SEND, "R6", false},
        {RT_SEND_SLOW, "R8", true}, {RT_SEND_SLOW, "R5", false}, {RT_SEND_ALT, "R5", true},
        {RT_SEND_ALT, "R8", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("type ") + std::to_string(c.type) + " answered " + c.tag);
        TestCatalogue cat;
        cat.SetSlot(0, "KX100_EN", IMAGE_VALID, H, B, 0x013F, {{c.type}, {RT_SEND}});
        StartCase(cat);
        device.script["record"].assign(c.accepted ? 1 : 5, Tagged(c.tag));

        if (c.accepted) {
            EXPECT_EQ(0, flash_prog());
            EXPECT_EQ((std::vector<int>{0, 1}), HeardIndices());
            EXPECT_TRUE(clock.SleepsOf(RETRY_PAUSE_MS).empty());
        } else {
            EXPECT_EQ(RESULT_RECORD_FAILED, flash_prog());
            EXPECT_EQ((std::vector<int>{0, 0, 0, 0, 0}), HeardIndices());
            EXPECT_EQ((Lines{"KX100_EN ver. 01.02", "", "Error_flash_prog_1 !!!"}), log.Appends());
            // Five pauses, the error line at the end of the last one.
            const std::vector<uint64_t> pauses = clock.SleepsOf(RETRY_PAUSE_MS);
            ASSERT_EQ(5u, pauses.size());
            EXPECT_EQ(std::vector<uint64_t>{pauses.back() + 200},
                      log.TimesOf(LogOp::Append, "Error_flash_prog_1 !!!"));
            EXPECT_EQ(ProgressTexts({0}), LiveTexts());
        }
    }
}

TEST_F(ProgramTest, FourFailedAttemptsThenSuccess) {
    TestCatalogue cat;
    cat.SetSlot(0, "KX100_EN", IMAGE_VALID, H, B, 0x013F, {{RT_SEND}, {RT_SEND}});
    StartCase(cat);
    device.script["record"] = {Silent(), Tagged("R5"), Silent(), Silent(), Healthy()};

    EXPECT_EQ(0, flash_prog());
    EXPECT_EQ((std::vector<int>{0, 0, 0, 0, 0, 1}), HeardIndices());
    EXPECT_EQ((Lines{"KX100_EN ver. 01.02", ""}), log.Appends());
    // Four pauses of 200 ms, each right after the exchange's own closing 20 ms.
    size_t pauses = 0;
    for (size_t i = 0; i < clock.sleeps.size(); ++i) {
        if (clock.sleeps[i].ms == RETRY_PAUSE_MS) {
            ++pauses;
            ASSERT_GT(i, 0u);
            EXPECT_EQ(20u, clock.sleeps[i - 1].ms);
            EXPECT_EQ(clock.sleeps[i - 1].atMs + 20, clock.sleeps[i].atMs);
        }
    }
    EXPECT_EQ(4u, pauses);
    EXPECT_EQ(Progress(100), LiveTexts().back());
}

TEST_F(ProgramTest, ReplyWaitDependsOnTheRecordType) {
    // Each record is left unanswered once; the time from a request to its repetition is
    // the exchange with its reply wait plus the same fixed parts for every type.
    TestCatalogue cat;
    cat.SetSlot(0, "KX100_EN", IMAGE_VALID, H, B, 0x013F,
                {{RT_SEND}, {RT_SEND_SLOW}, {RT_SEND_ALT}});
    StartCase(cat);
    device.script["record"] = {Silent(), Healthy(), Silent(), Healthy(), Silent(), Healthy()};

    ASSERT_EQ(0, flash_prog());
    ASSERT_EQ(6u, device.heard.size());
    const uint64_t send = device.heard[1].atMs - device.heard[0].atMs;
    const uint64_t slow = device.heard[3].atMs - device.heard[2].atMs;
    const uint64_t alt = device.heard[5].atMs - device.heard[4].atMs;
    EXPECT_EQ(2500u, slow - send); // 4000 ms against 1500 ms
    EXPECT_EQ(send, alt);
    EXPECT_GT(send, 1500u + 200u);
}

TEST_F(ProgramTest, WalkEndsAfter4100RecordsWithoutAnEnd) {
    // 4100 final records, then a sending record and no end byte: the walk must stop before
    // the 4101st record, and nothing behind the image may be read.
    std::vector<Rec> records(MAX_RECORDS, Rec{RT_FINAL, 6});
    records.push_back(Rec{RT_SEND});
    TestCatalogue cat;
    cat.SetSlot(0, "KX100_EN", IMAGE_VALID, H, B, 0x013F, records, false);
    StartCase(cat);

    EXPECT_EQ(0, flash_prog());
    EXPECT_TRUE(device.heard.empty());
    ASSERT_EQ(6, finalLength);
    EXPECT_EQ(0, std::memcmp(finalPacket, cat.MadePayload(MAX_RECORDS - 1).data(), 6));
    EXPECT_EQ(ProgressTexts(Join({{0}, Range(0, 99), {100}})), LiveTexts());
}

TEST_F(ProgramTest, NoImageOrUpToDate) {
    TestCatalogue cat;
    cat.SetSimple(0, "KX100_EN", H, B, 0x013F);
    StartCase(cat);

    deviceIdentity.codeS = 0x013F;
    EXPECT_EQ(RESULT_UP_TO_DATE, flash_prog());
    deviceIdentity.codeH = 0x0C00;
    EXPECT_EQ(RESULT_NO_IMAGE, flash_prog());
    EXPECT_EQ((Lines{"KX100_EN ver. 01.02", "Device is up to date", "Error: No update data found"}),
              log.Appends());
    EXPECT_TRUE(device.heard.empty());
    EXPECT_TRUE(LiveTexts().empty());
}

TEST_F(ProgramTest, SendFinalPacket) {
    struct Case {
        const char* name;
        bool keep; // a final packet was kept
        bool noEcho;
        std::vector<Answer> answers;
        int result;
        size_t attempts;
        size_t pauses;
    };
    const std::vector<Case> cases = {
        {"accepted at the third attempt", true, false, {Silent(), Tagged("R8")}, 0, 3, 2},
        {"five attempts without echo", true, true, {}, EXCHANGE_NO_ECHO, 5, 5},
        {"five attempts without reply", true, false, std::vector<Answer>(5, Silent()),
         EXCHANGE_NO_REPLY, 5, 5},
        {"five refusals: a valid reply with another tag is no success", true, false,
         std::vector<Answer>(5, Tagged("R8")), EXCHANGE_NO_REPLY, 5, 5},
        {"refused four times, then no echo", true, false, std::vector<Answer>(4, Tagged("R1")),
         EXCHANGE_NO_ECHO, 5, 5},
        {"nothing kept", false, false, {}, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestCatalogue cat;
        cat.SetSimple(0, "KX100_EN", H, B, 0x013F);
        StartCase(cat);
        const std::vector<uint8_t>& payload = cat.MadePayload(2); // the RT_FINAL record's
        if (c.keep) {
            std::memcpy(finalPacket, payload.data(), payload.size());
            finalLength = static_cast<int>(payload.size());
        }
        device.script["final"].assign(c.answers.begin(), c.answers.end());
        wire.Faults().noEcho = c.noEcho;
        if (std::string(c.name) == "refused four times, then no echo") {
            device.onHeard = [this](const Heard& h) {
                if (device.heard.size() == 4 && h.kind == "final") {
                    wire.Faults().noEcho = true;
                }
            };
        }

        EXPECT_EQ(c.result, SendFinalPacket());
        device.onHeard = nullptr;
        EXPECT_EQ(c.attempts, HeardIndices("final").size());
        EXPECT_EQ(c.pauses, clock.SleepsOf(RETRY_PAUSE_MS).size());
        EXPECT_TRUE(log.Events().empty());
        EXPECT_EQ(c.keep ? static_cast<int>(payload.size()) : 0, finalLength);
    }
}

} // namespace
} // namespace enginetest
