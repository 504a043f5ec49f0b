// Identification and image choice against a scripted device on the simulated line, in
// virtual time.
#include "engine/identify.h"

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine_fixture.h"

namespace enginetest {
namespace {

using Lines = std::vector<std::string>;

constexpr Identity DEVICE{123, 4567, 0x0B11, 0x0235, 0x013F};

class IdentifyTest : public EngineTest {};

TEST_F(IdentifyTest, AttemptsAlternateEchoModesAndPingAfterEachFailure) {
    struct Case {
        const char* name;
        bool noEchoCable;
        std::vector<Answer> answers; // to the identity requests, in order; then healthy
        int result;
        std::vector<bool> echoSkipPerRequest;
        bool echoSkipAfter;
        Lines lines;
    };
    const std::vector<Case> cases = {
        {"first attempt answered", false, {}, 0, {false}, false, {}},
        {"first silent, second answered", false, {Silent()}, 0, {false, true}, true, {}},
        {"cable without echo: only the second attempt can work",
         true,
         {},
         0,
         {false, true},
         true,
         {}},
        {"another tag than R1 is a failure", false, {Tagged("R8")}, 0, {false, true}, true, {}},
        {"R1 too short for every field is a failure",
         false,
         {ShortIdentity(16)},
         0,
         {false, true},
         true,
         {}},
        {"third attempt answered waits for the echo again",
         false,
         {Silent(), Silent()},
         0,
         {false, true, false},
         false,
         {}},
        {"five failures",
         false,
         {Silent(), Tagged("R6"), Silent(), ShortIdentity(2), Silent()},
         RESULT_NO_IDENTITY,
         {false, true, false, true, false},
         true,
         {"Error_GetDeviceInfo !!!"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        OpenLine();
        device.heard.clear();
        device.aliveAnswered = 0;
        device.identity = DEVICE;
        device.script["info"].assign(c.answers.begin(), c.answers.end());
        wire.Faults().noEcho = c.noEchoCable;
        deviceIdentity = DeviceIdentity{1, 2, 3, 4, 5}; // left from an earlier device

        EXPECT_EQ(c.result, GetDeviceInfo());

        ASSERT_EQ(c.echoSkipPerRequest.size(), device.heard.size());
        for (size_t i = 0; i < device.heard.size(); ++i) {
            EXPECT_EQ("info", device.heard[i].kind);
            EXPECT_EQ(c.echoSkipPerRequest[i], device.heard[i].echoSkip) << "request " << i;
            // One alive request after each failed attempt, before the next one.
            EXPECT_EQ(i, device.heard[i].aliveBefore) << "request " << i;
        }
        const size_t failures = c.result == 0 ? device.heard.size() - 1 : device.heard.size();
        EXPECT_EQ(failures, device.aliveAnswered);
        EXPECT_EQ(c.echoSkipAfter, echoSkip);
        EXPECT_EQ(c.lines, log.Appends());
        const DeviceIdentity expected =
            c.result == 0 ? DeviceIdentity{123, 4567, 0x0B11, 0x0235, 0x013F} : DeviceIdentity{};
        EXPECT_EQ(expected.number1, deviceIdentity.number1);
        EXPECT_EQ(expected.number2, deviceIdentity.number2);
        EXPECT_EQ(expected.codeH, deviceIdentity.codeH);
        EXPECT_EQ(expected.codeB, deviceIdentity.codeB);
        EXPECT_EQ(expected.codeS, deviceIdentity.codeS);
    }
}

TEST_F(IdentifyTest, ShortReplyNeverFillsFieldsFromStaleBytes) {
    OpenLine();
    // A full identity first leaves its bytes in the receive buffer; then a device whose
    // only "R1" replies are too short must not be taken for identified.
    device.identity = DEVICE;
    ASSERT_EQ(0, GetDeviceInfo());
    device.script["info"].assign(5, ShortIdentity(7));
    EXPECT_EQ(RESULT_NO_IDENTITY, GetDeviceInfo());
    EXPECT_EQ(0, deviceIdentity.codeH);
    EXPECT_EQ(0, deviceIdentity.number2);
    EXPECT_EQ(Lines{"Error_GetDeviceInfo !!!"}, log.Appends());
}

TEST_F(IdentifyTest, IdentityLineAsReadFromTheDevice) {
    struct Case {
        Identity id;
        std::string line; // empty: nothing shown
    };
    const std::vector<Case> cases = {
        {{123, 4567, 0x0B11, 0x0235, 0x013F}, "ID (00123:04567) H:0B11 B:0235 S:013F"},
        {{65535, 65535, 0xFFFF, 0xFFFF, 0xFFFF}, "ID (65535:65535) H:FFFF B:FFFF S:FFFF"},
        {{0, 7, 0x00A0, 0x0001, 0x0000}, "ID (00000:00007) H:00A0 B:0001 S:0000"},
        {{99, 1, 0x0000, 0x0235, 0x013F}, ""}, // codeH 0: nothing to show
    };
    OpenLine();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        log.Clear();
        device.identity = c.id;
        ASSERT_EQ(0, GetDeviceInfo());
        ShowDeviceId();
        EXPECT_EQ(c.line.empty() ? Lines{} : Lines{c.line}, log.Appends());

        char out[64];
        std::memset(out, 0x7F, sizeof out);
        FormatDeviceId(out);
        EXPECT_EQ(34u, std::strlen(out));
        EXPECT_EQ(0x7F, out[35]); // nothing written behind the terminator
        if (!c.line.empty()) {
            EXPECT_EQ(c.line.substr(3), out);
        }
    }
}

TEST_F(IdentifyTest, FindImageChoosesTheFirstFittingSlot) {
    struct Slot {
        int index;
        const char* name;
        uint8_t status;
        uint16_t codeH;
        uint16_t codeB;
        uint16_t codeS;
        std::array<uint8_t, 2> version = {0x02, 0x01};
    };
    struct Case {
        const char* name;
        std::vector<Slot> slots;
        uint16_t deviceH;
        uint16_t deviceS;
        int result;
        Lines lines;
    };
    const uint16_t H = 0x0B11;
    const uint16_t B = 0x0235;
    const std::vector<Case> cases = {
        {"same level",
         {{0, "KX100_EN", 0x01, H, B, 0x013F}},
         H,
         0x013F,
         FIND_UP_TO_DATE,
         {"KX100_EN ver. 01.02"}},
        {"higher level",
         {{0, "KX100_EN", 0x01, H, B, 0x013F}},
         H,
         0x0100,
         0,
         {"KX100_EN ver. 01.02"}},
        {"only a lower level", {{0, "KX100_EN", 0x01, H, B, 0x013F}}, H, 0x0140, FIND_NONE, {}},
        {"forced level, device at 0",
         {{3, "KX100_CZ", 0x01, H, B, 0xFEED}},
         H,
         0x0000,
         3,
         {"KX100_CZ ver. 01.02"}},
        {"forced level, device above it",
         {{3, "KX100_CZ", 0x01, H, B, 0xFEED}},
         H,
         0xFFFF,
         3,
         {"KX100_CZ ver. 01.02"}},
        {"forced level, device at it",
         {{3, "KX100_CZ", 0x01, H, B, 0xFEED}},
         H,
         0xFEED,
         FIND_UP_TO_DATE,
         {"KX100_CZ ver. 01.02"}},
        {"first fitting slot wins over a higher one",
         {{1, "KX100_EN", 0x01, H, B, 0x013F}, {2, "KX100_FR", 0x01, H, B, 0x0200}},
         H,
         0x013F,
         FIND_UP_TO_DATE,
         {"KX100_EN ver. 01.02"}},
        {"bad status in front of the fitting slot",
         {{0, "KX900_EN", 0x07, H, B, 0x013F}, {1, "KX100_EN", 0x01, H, B, 0x013F}},
         H,
         0x0100,
         1,
         {"Error - pu[0]!=0x01 (07)", "KX100_EN ver. 01.02"}},
        {"status 00 is reported, 0xFE passed over silently",
         {{0, "KX800_EN", 0xFE, H, B, 0x013F}, {4, "KX900_EN", 0x00, 0x0C00, B, 0x013F}},
         H,
         0x0100,
         FIND_NONE,
         {"Error - pu[0]!=0x01 (00)"}},
        {"codeH or codeB differ",
         {{0, "KX100_EN", 0x01, 0x0B12, B, 0x013F},
          {1, "KX100_CZ", 0x01, H, 0x0236, 0x013F},
          {20, "KX100_FR", 0x01, H, B, 0x013F}},
         H,
         0x0100,
         20,
         {"KX100_FR ver. 01.02"}},
        {"device codeH 0 looks for codeH 0",
         {{7, "KX000_EN", 0x01, 0x0000, B, 0x0001}},
         0,
         0x0000,
         7,
         {"KX000_EN ver. 01.02"}},
        {"version shown byte 1 first",
         {{0, "KX100_EN", 0x01, H, B, 0x013F, {0x10, 0x0A}}},
         H,
         0x0000,
         0,
         {"KX100_EN ver. 0A.10"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestCatalogue cat;
        for (const Slot& s : c.slots) {
            cat.SetSlot(s.index, s.name, s.status, s.codeH, s.codeB, s.codeS, {{RT_FINAL}}, true,
                        s.version);
        }
        SelectCatalogue(cat.Get());
        deviceIdentity = DeviceIdentity{1, 2, c.deviceH, B, c.deviceS};
        log.Clear();
        EXPECT_EQ(c.result, FindImage());
        EXPECT_EQ(c.lines, log.Appends());
    }
}

} // namespace
} // namespace enginetest
