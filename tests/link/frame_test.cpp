// Frame exchange over the simulated wire, in virtual time: the frame check against the
// device's own encoder and published CRC values, Transact's outcomes and their exact
// durations, and the edge cases of echo and reply handling.
#include "link/frame.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "line_fixture.h"

namespace {

using linktest::Bytes;

const Bytes CHECK_STRING{'1', '2', '3', '4', '5', '6', '7', '8', '9'};
const Bytes REQUEST{0x55, 0x42, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60}; // key 0x42
const Bytes PAYLOAD{'R', '1', 0x07, 0xAD};
constexpr uint32_t TIMEOUT_MS = 1500;

// Request of 8 bytes, sent at 0: its echo's last byte ends at 2.083 ms and the 1 ms polls
// confirm it at 3 ms. The device answers 1 ms after the request's last byte, at 3.083 ms;
// its 9-byte reply ends at 5.426 ms and is read by the poll at 6 ms.
constexpr uint64_t ECHO_CONFIRMED_MS = 3;
constexpr uint64_t REPLY_READ_MS = 6;

TEST(FrameCrcTest, CheckValues) {
    EXPECT_EQ(0x7777, FrameCrc(0, nullptr));
    EXPECT_EQ(0x32D2, FrameCrc(9, CHECK_STRING.data()));
    // The device encoder's CRC is CRC-16/MCRF4XX when started from 0xFFFF: its published
    // check value proves the device side, which in turn checks the host side.
    EXPECT_EQ(0x6F91, sim::DeviceCrc(CHECK_STRING.data(), CHECK_STRING.size(), 0xFFFF));
    EXPECT_EQ(0x32D2, sim::DeviceCrc(CHECK_STRING.data(), CHECK_STRING.size()));
}

TEST(FrameCrcTest, AgreesWithTheDeviceEncoderAndGivesZeroOverAnIntactFrame) {
    sim::FaultRandom random(7);
    for (size_t n = 0; n <= 255; n += 17) {
        Bytes plain(n);
        for (uint8_t& b : plain) {
            b = random.Byte();
        }
        const Bytes frame = sim::EncodeDataReply(random.Byte(), plain);
        SCOPED_TRACE(n);
        EXPECT_EQ(sim::DeviceCrc(frame.data(), frame.size() - 2),
                  FrameCrc(static_cast<uint32_t>(frame.size() - 2), frame.data()));
        EXPECT_EQ(0, FrameCrc(static_cast<uint32_t>(frame.size()), frame.data()));
    }
}

TEST(CheckFrameTest, ResultsZeroToFour) {
    const Bytes good = sim::EncodeDataReply(0x42, PAYLOAD);
    Bytes wrongStart = good;
    wrongStart[0] = 0xAC;
    Bytes badLength = good;
    badLength[2] = 5;
    Bytes badCrc = good;
    badCrc[5] ^= 0x10;
    struct Case {
        const char* name;
        Bytes frame;
        int result;
    };
    const Case cases[] = {
        {"intact", good, 0},
        {"empty payload", sim::EncodeDataReply(0x00, nullptr, 0), 0},
        {"four bytes", Bytes{0xAD, 0x42, 0x00, 0x00}, 1},
        {"nothing", Bytes{}, 1},
        {"starts with 0xAC", wrongStart, 2},
        {"length byte", badLength, 3},
        {"one payload bit", badCrc, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::copy(c.frame.begin(), c.frame.end(), rxBuffer);
        rxCount = static_cast<uint32_t>(c.frame.size());
        EXPECT_EQ(c.result, CheckFrame());
    }
}

class TransactTest : public linktest::LineFixture {
  protected:
    // Runs Transact and returns how long it took in virtual µs.
    uint64_t TimedTransact(int* status, uint32_t timeoutMs = TIMEOUT_MS) {
        const uint64_t start = sim::VirtualNowUs();
        *status = Transact(timeoutMs);
        return sim::VirtualNowUs() - start;
    }
};

TEST_F(TransactTest, OutcomesAndDurations) {
    struct Case {
        const char* name;
        bool skip;
        bool noEcho;
        bool answers;
        int status;
        uint64_t ms;
    };
    const Case cases[] = {
        // Until the reply's last byte is read, then 20 ms.
        {"echo confirmed, reply accepted", false, false, true, 0, REPLY_READ_MS + 20},
        // Echo time, the time-out plus the pass that ends it (2 ms), then 20 ms.
        {"echo confirmed, no reply", false, false, false, 2, ECHO_CONFIRMED_MS + 1502 + 20},
        // The echo phase ends after the pass at 101 ms (102), then the whole reply phase,
        // which cannot accept the reply that did come.
        {"echo not confirmed", false, true, true, 1, 102 + 1502 + 20},
        {"echo skipped, reply accepted", true, true, true, 0, REPLY_READ_MS + 20},
        {"echo skipped, no reply", true, true, false, 2, 1502 + 20},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NextCase();
        echoSkip = c.skip;
        wire.Faults().noEcho = c.noEcho;
        if (c.answers) {
            AnswerWith(PAYLOAD);
        }
        SetRequest(REQUEST);
        int status = -1;
        EXPECT_EQ(c.ms * 1000, TimedTransact(&status));
        EXPECT_EQ(c.status, status);
        if (status == 0) {
            ASSERT_EQ(9u, rxCount);
            EXPECT_EQ(0xAD, rxBuffer[0]);
            EXPECT_EQ(0x42, rxBuffer[1]);
            EXPECT_EQ(Bytes(rxBuffer + 3, rxBuffer + 7), PAYLOAD);
        }
    }
}

TEST_F(TransactTest, LongRecordEchoIsConfirmedBecauseTheWriteBlocks) {
    // 2078 bytes take 541 ms on the wire. The write returns once 256 remain (byte 1821
    // has left, at 474.479 ms); the rest of the echo then arrives within 67 ms.
    Bytes record(2078, 0x11);
    record[0] = 0x5A;
    record[1] = 0x33;
    SetRequest(record);
    AnswerWith(PAYLOAD);
    int status = -1;
    // Last echo byte at 541.146 ms, read by the poll at 541.479 ms; the reply starts 1 ms
    // after that last byte, at 542.145 ms, ends at 544.488 ms and is read at 545.479 ms.
    EXPECT_EQ(565479u, TimedTransact(&status));
    EXPECT_EQ(0, status);
    ASSERT_GE(adapter.Calls().size(), 3u);
    for (const sim::DriverCall& c : adapter.Calls()) {
        if (c.name == "FT_Write") {
            EXPECT_EQ(0u, c.atUs);
        }
    }
}

TEST_F(TransactTest, StaleBytesAreDrainedInChunksOf4096) {
    // A valid reply among 5000 stale bytes would be accepted were it not drained.
    Bytes stale(4991, 0x00);
    const Bytes old = sim::EncodeDataReply(0x42, PAYLOAD);
    stale.insert(stale.end(), old.begin(), old.end());
    wire.InjectHostBytes(stale.data(), stale.size());
    echoSkip = true;
    wire.Faults().noEcho = true;
    SetRequest(REQUEST);
    int status = -1;
    EXPECT_EQ((1502u + 20u) * 1000u, TimedTransact(&status));
    EXPECT_EQ(2, status);
    EXPECT_EQ(2, CallsBefore("FT_Read", "FT_Write")); // 4096, then 904
}

TEST_F(TransactTest, NoiseAndAFalseStartBeforeTheEcho) {
    // The device puts 0x13 0x55 0x01 on the line first; the request's echo follows. 0x13
    // is dropped; 0x55 0x01 0x55 0x42 fills four bytes without matching and is shifted out
    // byte by byte until 0x55 0x42 0x01 0x02 matches.
    wire.DeviceSendAt(0, Bytes{0x13, 0x55, 0x01});
    SetRequest(Bytes{0x55, 0x42, 0x01, 0x02});
    AnswerWith(PAYLOAD);
    int status = -1;
    TimedTransact(&status);
    EXPECT_EQ(0, status);
    EXPECT_EQ(Bytes(rxBuffer + 3, rxBuffer + 7), PAYLOAD);
}

TEST_F(TransactTest, EchoReachesTheReplyPhaseWhenSkipped) {
    struct Case {
        const char* name;
        Bytes request;
        int status;
    };
    const Case cases[] = {
        {"echo bytes are dropped", REQUEST, 0},
        // The echoed 0xAD stays byte 0 and no later byte restarts the frame.
        {"an echoed 0xAD holds the frame", Bytes{0x11, 0x42, 0xAD, 0x07}, 2},
        {"an echoed 0xAC holds the frame", Bytes{0x11, 0x42, 0xAC, 0x07}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NextCase();
        echoSkip = true;
        AnswerWith(PAYLOAD);
        SetRequest(c.request);
        int status = -1;
        TimedTransact(&status);
        EXPECT_EQ(c.status, status);
    }
}

TEST_F(TransactTest, UnacceptableRepliesEndWithTwoAtTheDeadline) {
    const Bytes good = sim::EncodeDataReply(0x42, PAYLOAD);
    Bytes spoiled = good;
    spoiled.back() ^= 0x01;
    struct Case {
        const char* name;
        bool wrongKey;
        bool badCrc;
        Bytes before; // bytes the device sends ahead of its good reply
    };
    const Case cases[] = {
        {"first kept byte 0xAC", false, false, sim::ALIVE_REPLY_BYTES},
        {"bad CRC", false, true, {}},
        {"wrong key", true, false, {}},
        {"a good reply after a bad one", false, false, spoiled},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NextCase();
        device.wrongKey = c.wrongKey;
        device.badCrc = c.badCrc;
        const Bytes before = c.before;
        device.onRequest = [before, good](uint64_t, const uint8_t*, size_t, Bytes* reply,
                                          uint64_t*) {
            *reply = before;
            reply->insert(reply->end(), good.begin(), good.end());
            return true;
        };
        SetRequest(REQUEST);
        int status = -1;
        EXPECT_EQ((ECHO_CONFIRMED_MS + 1502 + 20) * 1000, TimedTransact(&status));
        EXPECT_EQ(2, status);
    }
}

TEST_F(TransactTest, EmptyPayloadIsAcceptedAndOnlyItsCheckBytesUnscrambled) {
    device.onRequest = [](uint64_t, const uint8_t* bytes, size_t, Bytes* reply, uint64_t*) {
        *reply = sim::EncodeDataReply(bytes[1], nullptr, 0);
        return true;
    };
    const Bytes sent = sim::EncodeDataReply(0x42, nullptr, 0);
    SetRequest(REQUEST);
    EXPECT_EQ(0, Transact(TIMEOUT_MS));
    ASSERT_EQ(5u, rxCount);
    EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 3), Bytes(rxBuffer, rxBuffer + 3));
    for (int i = 3; i < 5; ++i) {
        EXPECT_EQ(static_cast<uint8_t>((sent[i] + 0x6A) ^ 0x42), rxBuffer[i]);
    }
}

TEST_F(TransactTest, BytesAfterTheReplyStayQueued) {
    AnswerWith(PAYLOAD, Bytes{0x01, 0x02, 0x03});
    SetRequest(REQUEST);
    EXPECT_EQ(0, Transact(TIMEOUT_MS));
    EXPECT_EQ(3u, wire.HostQueued());
}

TEST_F(TransactTest, FailedWriteIsCountedAndThePhasesRunOut) {
    adapterLost = 2;
    adapter.behaviour.loseAfterCalls = 1; // the drain's status query works, the write not
    AnswerWith(PAYLOAD);
    SetRequest(REQUEST);
    int status = -1;
    EXPECT_EQ((102u + 1502u + 20u) * 1000u, TimedTransact(&status));
    EXPECT_EQ(1, status);
    EXPECT_EQ(3u, adapterLost);
}

TEST_F(TransactTest, ReceiveBufferHoldsAtMost4096) {
    echoSkip = true;
    wire.Faults().noEcho = true;
    device.onRequest = [](uint64_t, const uint8_t*, size_t, Bytes* reply, uint64_t*) {
        *reply = Bytes(4200, 0x00);
        (*reply)[0] = 0xAD;
        return true;
    };
    SetRequest(REQUEST);
    EXPECT_EQ(2, Transact(TIMEOUT_MS));
    EXPECT_EQ(4096u, rxCount);
    EXPECT_EQ(0xAD, rxBuffer[0]);
    EXPECT_EQ(0u, wire.HostQueued()); // the bytes beyond were read and thrown away
}

TEST_F(TransactTest, EchoLongerThanTheReceiveBufferIsNeverConfirmed) {
    Bytes request(4100, 0x22);
    request[0] = 0x55;
    SetRequest(request);
    EXPECT_EQ(1, Transact(TIMEOUT_MS));
    EXPECT_EQ(4096u, rxCount);
}

TEST_F(TransactTest, LengthBeyondTheTransmitBufferIsCutToIt) {
    txBuffer[0] = 0x55;
    txLength = 0xFFFFFFFFu;
    EXPECT_EQ(1, Transact(100));
    EXPECT_EQ(TX_BUFFER_BYTES, wire.stats().hostBytes);
}

TEST_F(TransactTest, DeadlineIsTestedLastWithTheTimeTakenBeforeThePoll) {
    // Time-out 10 ms, echo skipped, no echo; a five-byte reply sent at the given time. The
    // pass that begins at 11 ms, already past the deadline, still reads and handles one
    // byte. Sent at 8.8 ms, the reply's first four bytes are read by 10 ms and its last
    // (10.102 ms) by that pass: accepted. Sent at 9.8 ms, that pass reads only its first.
    struct Case {
        uint64_t replyStartUs;
        int status;
        uint64_t ms;
    };
    const Case cases[] = {{8800, 0, 11 + 20}, {9800, 2, 11 + 20}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.replyStartUs);
        NextCase();
        echoSkip = true;
        wire.Faults().noEcho = true;
        const uint64_t start = sim::VirtualNowUs();
        device.onRequest = [&c, start](uint64_t, const uint8_t* bytes, size_t, Bytes* reply,
                                       uint64_t* atUs) {
            *reply = sim::EncodeDataReply(bytes[1], nullptr, 0);
            *atUs = start + c.replyStartUs;
            return true;
        };
        SetRequest(Bytes{0x55, 0x42, 0x01, 0x02});
        int status = -1;
        EXPECT_EQ(c.ms * 1000, TimedTransact(&status, 10));
        EXPECT_EQ(c.status, status);
    }
}

TEST_F(TransactTest, DrainInputReadsAtMost260AtATime) {
    const Bytes junk(600, 0x5A);
    wire.InjectHostBytes(junk.data(), junk.size());
    DrainInput();
    EXPECT_EQ(0u, wire.HostQueued());
    EXPECT_EQ(3, CallsBefore("FT_Read", "")); // 260, 260, 80
}

} // namespace
