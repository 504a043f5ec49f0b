// Presence detection over the simulated wire, in virtual time: detection at the fourth
// alive reply, the pair scan of each 260-byte read, the reconnect prompt and its spinner
// at their exact times, adapter loss, the search's runs and the wait for a disconnect.
#include "link/presence.h"

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "line_fixture.h"

namespace {

using linktest::Bytes;
using testsupport::LogEvent;

// Answers the k-th packet it hears (from 0) with answer(k), 1 ms after its last byte.
class ScriptedDevice : public sim::DeviceModel {
  public:
    std::function<Bytes(int)> answer;
    int heard = 0;

    void OnBreak(uint64_t, bool) override {}
    bool OnPacket(uint64_t atUs, const uint8_t*, std::size_t, Bytes* reply,
                  uint64_t* replyAtUs) override {
        *reply = answer ? answer(heard) : Bytes{};
        ++heard;
        *replyAtUs = atUs + 1000;
        return !reply->empty();
    }
};

const std::string PROMPT = "Reconnect device please.";

class PresenceTest : public linktest::LineFixture {
  protected:
    // Runs f and returns how long it took in virtual ms.
    template <typename F> uint64_t TimedMs(F f) {
        const uint64_t start = sim::VirtualNowUs();
        f();
        return (sim::VirtualNowUs() - start) / 1000;
    }
    std::vector<LogEvent> Prompts() const {
        std::vector<LogEvent> out;
        for (const LogEvent& e : log.Events()) {
            if (e.op == LogOp::Live) {
                out.push_back(e);
            }
        }
        return out;
    }
    int Calls(const char* name) const { return CallsBefore(name, ""); }

    ScriptedDevice scripted;
};

TEST_F(PresenceTest, DetectedAtTheFourthAliveReplyWithTheQueueEmptied) {
    int result = -1;
    // One alive request per 6 ms poll, each answered before the read.
    EXPECT_EQ(24u, TimedMs([&] { result = DetectDevice(); }));
    EXPECT_EQ(0, result);
    EXPECT_EQ(4, Calls("FT_Write"));
    EXPECT_EQ(4u, device.aliveAnswered);
    EXPECT_EQ(0u, wire.HostQueued());
    EXPECT_TRUE(Prompts().empty());
}

TEST_F(PresenceTest, PairScanOfEachRead) {
    struct Case {
        const char* name;
        std::function<Bytes(int)> answer;
        int result;
        uint64_t ms;
    };
    const Case cases[] = {
        {"four in one read",
         [](int k) {
             return k == 0 ? Bytes{0xAC, 0x3A, 0xAC, 0x3A, 0xAC, 0x3A, 0xAC, 0x3A} : Bytes{};
         },
         0, 6},
        {"embedded in other bytes",
         [](int) {
             return Bytes{0x00, 0xAC, 0x3A, 0xFF};
         },
         0, 24},
        // The scan goes on with the pair that starts at the matched 0x3A.
        {"two per read",
         [](int) {
             return Bytes{0xAC, 0x3A, 0xAC, 0x3A};
         },
         0, 12},
        {"reversed",
         [](int) {
             return Bytes{0x3A, 0xAC};
         },
         1, 2502},
        {"split over two reads",
         [](int k) {
             return k % 2 == 0 ? Bytes{0x00, 0xAC} : Bytes{0x3A, 0x00};
         },
         1, 2502},
        {"0xAC alone", [](int) { return Bytes{0xAC}; }, 1, 2502},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NextCase();
        wire.Faults().noEcho = true; // each read holds exactly one answer
        scripted = ScriptedDevice{};
        scripted.answer = c.answer;
        wire.AttachDevice(&scripted);
        int result = -1;
        EXPECT_EQ(c.ms, TimedMs([&] { result = DetectDevice(); }));
        EXPECT_EQ(c.result, result);
    }
}

struct Injection {
    sim::Wire* wire;
    Bytes bytes;
    bool done;
};

TEST_F(PresenceTest, EachReadTakesAtMost260Bytes) {
    // At the first poll's sleep a burst lands in the receive queue at once.
    Bytes split(259, 0x00); // the 260th byte is an 0xAC whose 0x3A the next read starts with
    split.push_back(0xAC);
    for (int i = 0; i < 4; ++i) {
        split.insert(split.end(), {0x3A, 0xAC});
    }
    split.push_back(0x3A);
    Bytes fourAndMore;
    for (int i = 0; i < 4; ++i) {
        fourAndMore.insert(fourAndMore.end(), {0xAC, 0x3A});
    }
    fourAndMore.insert(fourAndMore.end(), 300, 0x00);
    struct Case {
        const char* name;
        Bytes burst;
        uint64_t ms;
    };
    const Case cases[] = {
        // Only the four replies of the second read count.
        {"reply split by the read size", split, 12},
        // Detected in the first read; what is left beyond its 260 bytes is drained.
        {"four replies and 300 more bytes", fourAndMore, 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NextCase();
        device.aliveReply.clear();
        Injection inject{&wire, c.burst, false};
        sim::SetVirtualSleepHook(
            [](void* context, uint64_t) {
                auto* in = static_cast<Injection*>(context);
                if (!in->done) {
                    in->done = true;
                    in->wire->InjectHostBytes(in->bytes.data(), in->bytes.size());
                }
            },
            &inject);
        int result = -1;
        EXPECT_EQ(c.ms, TimedMs([&] { result = DetectDevice(); }));
        EXPECT_EQ(0, result);
        EXPECT_EQ(0u, wire.HostQueued());
    }
}

TEST_F(PresenceTest, SilentRunPromptsEvery500MsWithTheSpinner) {
    device.aliveReply.clear();
    int result = -1;
    // Polls come every 6 ms, so each prompt shows at the first poll at or after its mark;
    // the last one, at 2502 ms, is also the poll that ends the run.
    EXPECT_EQ(2502u, TimedMs([&] { result = DetectDevice(); }));
    EXPECT_EQ(1, result);
    const std::vector<LogEvent> prompts = Prompts();
    const std::vector<std::pair<uint64_t, std::string>> expected = {
        {504, PROMPT + " (-)"},  {1002, PROMPT + " (\\)"}, {1500, PROMPT + " (|)"},
        {2004, PROMPT + " (/)"}, {2502, PROMPT + " (-)"},
    };
    ASSERT_EQ(expected.size(), prompts.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(expected[i].first, prompts[i].atMs);
        EXPECT_EQ(expected[i].second, prompts[i].text);
    }
    // The spinner goes on where it stopped in the next run.
    log.Clear();
    EXPECT_EQ(1, DetectDevice());
    ASSERT_FALSE(Prompts().empty());
    EXPECT_EQ(PROMPT + " (\\)", Prompts().front().text);
}

TEST_F(PresenceTest, ThreeRepliesThenSilence) {
    scripted.answer = [](int k) { return k < 3 ? sim::ALIVE_REPLY_BYTES : Bytes{}; };
    wire.AttachDevice(&scripted);
    int result = -1;
    EXPECT_EQ(2502u, TimedMs([&] { result = DetectDevice(); }));
    EXPECT_EQ(1, result);
    // The third reply is read at 18 ms: prompts resume at the first poll 500 ms after it,
    // then every 500 ms from there.
    std::vector<uint64_t> times;
    for (const LogEvent& e : Prompts()) {
        times.push_back(e.atMs);
    }
    EXPECT_EQ((std::vector<uint64_t>{522, 1020, 1518, 2022}), times);
}

TEST_F(PresenceTest, ProbeFailureEndsEveryRunAfterOnePoll) {
    device.aliveReply.clear();
    // The first poll's status query, write, status query and read work; its probe fails.
    adapter.behaviour.loseAfterCalls = 4;
    int result = -1;
    EXPECT_EQ(60u, TimedMs([&] { result = SearchDevice(10); }));
    EXPECT_EQ(1, result);
    EXPECT_EQ(1u, adapterLost);
    EXPECT_EQ(10, Calls("FT_GetDeviceInfo"));
    EXPECT_EQ((std::vector<std::string>{"Device searching...", "Device not detected."}),
              log.Appends());
}

TEST_F(PresenceTest, SearchRunsAtMostNTimes) {
    struct Case {
        int n;
        uint64_t ms;
    };
    const Case cases[] = {{10, 10 * 2502}, {1, 2502}, {0, 2502}, {-2, 2502}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.n);
        NextCase();
        device.aliveReply.clear();
        int result = -1;
        EXPECT_EQ(c.ms, TimedMs([&] { result = SearchDevice(c.n); }));
        EXPECT_EQ(1, result);
        EXPECT_EQ((std::vector<std::string>{"Device searching...", "Device not detected."}),
                  log.Appends());
    }
}

TEST_F(PresenceTest, SearchFindsADeviceThatWakesOnABreak) {
    device.awake = false;
    EXPECT_EQ(1, SearchDevice(1));
    PulseBreak();
    log.Clear();
    EXPECT_EQ(0, SearchDevice(10));
    EXPECT_EQ((std::vector<std::string>{"Device searching...", "Device detected."}), log.Appends());
    EXPECT_EQ(1u, device.breaksSeen);
}

TEST_F(PresenceTest, PingOverwritesTheTransmitBuffer) {
    txBuffer[0] = 0x99;
    txLength = 300;
    int result = -1;
    EXPECT_EQ(20u, TimedMs([&] { result = PingDevice(); }));
    EXPECT_EQ(0, result);
    EXPECT_EQ(5u, txLength);
    EXPECT_EQ(sim::ALIVE_REQUEST_BYTES, Bytes(txBuffer, txBuffer + 5));
    device.aliveReply.clear();
    EXPECT_EQ(1, PingDevice());
}

TEST_F(PresenceTest, WaitForDisconnectOnASilentLine) {
    device.aliveReply.clear();
    EXPECT_EQ(100u + 3 * 20, TimedMs([] { WaitForDisconnect(); }));
    EXPECT_EQ(3, Calls("FT_Write"));
}

struct Limit {
    ScriptedDevice* device;
    uint64_t limitUs;
};

TEST_F(PresenceTest, WaitForDisconnectHoldsWhileEveryOtherPingIsAnswered) {
    // Never three unanswered pings in a row: the wait would last for ever. At 10 s the test
    // makes the device fall silent, and only then does the wait end.
    scripted.answer = [](int k) { return k % 2 == 0 ? sim::ALIVE_REPLY_BYTES : Bytes{}; };
    wire.AttachDevice(&scripted);
    Limit limit{&scripted, 10'000'000};
    sim::SetVirtualSleepHook(
        [](void* context, uint64_t nowUs) {
            auto* l = static_cast<Limit*>(context);
            if (nowUs >= l->limitUs) {
                l->device->answer = nullptr;
            }
        },
        &limit);
    const uint64_t ms = TimedMs([] { WaitForDisconnect(); });
    EXPECT_GE(ms, 10'000u);
    EXPECT_LE(ms, 10'000u + 100 + 3 * 20 + 40);
    EXPECT_GT(scripted.heard, 100);
}

} // namespace
