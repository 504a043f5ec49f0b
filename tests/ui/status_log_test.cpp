// The status log: appends, live writes in both states, the 260-byte limit, clears, the
// repaint request, and a painter reading while a writer writes.
#include "ui/status_log.h"

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

int repaints = 0;
void CountRepaint() {
    ++repaints;
}

struct Op {
    char kind; // 'A' append, 'L' live, 'C' clear
    std::string text;
};

struct LogCase {
    const char* name;
    std::vector<Op> ops;
    std::vector<std::string> slots; // expected slots 0..9 (missing ones empty)
    int lineCount;
    bool scrolling;
};

std::vector<Op> Appends(int from, int to) {
    std::vector<Op> ops;
    for (int i = from; i <= to; ++i) {
        ops.push_back({'A', "T" + std::to_string(i)});
    }
    return ops;
}

std::vector<Op> Concat(std::vector<Op> a, const std::vector<Op>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<std::string> Texts(int from, int to) {
    std::vector<std::string> t;
    for (int i = from; i <= to; ++i) {
        t.push_back("T" + std::to_string(i));
    }
    return t;
}

class StatusLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        LogReset();
        repaints = 0;
    }
    void TearDown() override { LogReset(); }

    static StatusLog Snapshot() {
        StatusLog s{};
        LogSnapshot(&s);
        return s;
    }
};

TEST_F(StatusLogTest, AppendsLiveWritesAndClearsFollowTheTable) {
    const std::string p = "P";
    const std::vector<LogCase> cases = {
        {"ten appends fill slots 0..9 and switch scrolling on", Appends(1, 10), Texts(1, 10), 9,
         true},
        {"an eleventh append scrolls", Appends(1, 11), Texts(2, 11), 9, true},
        {"a live write goes below the last line",
         Concat(Appends(1, 3), {{'L', p}}),
         {"T1", "T2", "T3", "P"},
         3,
         false},
        {"an append replaces the live line",
         Concat(Appends(1, 3), {{'L', p}, {'A', "T4"}}),
         {"T1", "T2", "T3", "T4"},
         4,
         false},
        {"repeated live writes replace each other",
         Concat(Appends(1, 1), {{'L', "P1"}, {'L', "P2"}}),
         {"T1", "P2"},
         1,
         false},
        {"after nine appends a live write goes to slot 9",
         Concat(Appends(1, 9), {{'L', p}}),
         {"T1", "T2", "T3", "T4", "T5", "T6", "T7", "T8", "T9", "P"},
         9,
         false},
        {"the next append replaces it and switches scrolling on",
         Concat(Appends(1, 9), {{'L', p}, {'A', "X"}}),
         {"T1", "T2", "T3", "T4", "T5", "T6", "T7", "T8", "T9", "X"},
         9,
         true},
        {"while scrolling a live write replaces slot 9",
         Concat(Appends(1, 10), {{'L', p}}),
         {"T1", "T2", "T3", "T4", "T5", "T6", "T7", "T8", "T9", "P"},
         9,
         true},
        {"while scrolling the live text moves up as an ordinary line",
         Concat(Appends(1, 10), {{'L', p}, {'A', "X"}}),
         {"T2", "T3", "T4", "T5", "T6", "T7", "T8", "T9", "P", "X"},
         9,
         true},
        {"an empty append is a line of its own",
         {{'A', "T1"}, {'A', ""}, {'A', "T3"}},
         {"T1", "", "T3"},
         3,
         false},
        {"a clear while scrolling empties the log; the next append goes to slot 0",
         Concat(Appends(1, 12), {{'C', ""}, {'A', "N"}}),
         {"N"},
         1,
         false},
    };

    for (const LogCase& c : cases) {
        SCOPED_TRACE(c.name);
        LogReset();
        for (const Op& op : c.ops) {
            switch (op.kind) {
            case 'A':
                LogAppend(op.text.c_str());
                break;
            case 'L':
                LogSetLive(op.text.c_str());
                break;
            default:
                LogClear();
                break;
            }
        }
        const StatusLog s = Snapshot();
        for (int k = 0; k < LOG_LINE_COUNT; ++k) {
            const std::string expected = k < static_cast<int>(c.slots.size()) ? c.slots[k] : "";
            EXPECT_EQ(expected, s.lines[k]) << "slot " << k;
        }
        EXPECT_EQ(c.lineCount, s.lineCount);
        EXPECT_EQ(c.scrolling, s.scrolling);
    }
}

TEST_F(StatusLogTest, TextsOf260BytesOrMoreAreIgnoredByBothWritersInBothStates) {
    const std::string stored(259, 'a');
    const std::string ignored(260, 'b');
    LogInstallRepaint(CountRepaint);

    for (int fill : {3, 12}) { // filling, then scrolling
        SCOPED_TRACE(fill);
        LogClear();
        for (int i = 0; i < fill; ++i) {
            LogAppend(("L" + std::to_string(i)).c_str());
        }
        const StatusLog before = Snapshot();
        const int repaintsBefore = repaints;
        LogAppend(ignored.c_str());
        LogSetLive(ignored.c_str());
        LogSetLive((ignored + "more").c_str());
        const StatusLog after = Snapshot();
        EXPECT_EQ(0, std::memcmp(&before, &after, sizeof before));
        EXPECT_EQ(repaintsBefore, repaints);
    }

    LogClear();
    LogAppend(stored.c_str());
    EXPECT_EQ(stored, Snapshot().lines[0]);
    LogSetLive(stored.c_str());
    EXPECT_EQ(stored, Snapshot().lines[1]);
}

TEST_F(StatusLogTest, RepaintIsRequestedAfterEveryChangeOnlyOnceInstalled) {
    LogAppend("before");
    LogSetLive("live");
    LogClear();
    EXPECT_EQ(0, repaints);
    LogAppend("kept");
    EXPECT_STREQ("kept", Snapshot().lines[0]);

    LogInstallRepaint(CountRepaint);
    LogAppend("a");
    LogSetLive("b");
    LogClear();
    EXPECT_EQ(3, repaints);
}

TEST_F(StatusLogTest, ObserversSeeEveryChangeInOrder) {
    std::vector<std::string> seen;
    auto observer = [](void* ctx, LogOp op, const char* text) {
        const char* kind = op == LogOp::Append ? "append " : op == LogOp::Live ? "live " : "clear";
        static_cast<std::vector<std::string>*>(ctx)->push_back(kind + std::string(text));
    };
    ASSERT_TRUE(LogAddObserver(observer, &seen));
    LogAppend("one");
    LogSetLive("two");
    LogAppend(std::string(300, 'x').c_str()); // ignored: not a change
    LogClear();
    LogRemoveObserver(observer, &seen);
    LogAppend("unseen");
    EXPECT_EQ((std::vector<std::string>{"append one", "live two", "clear"}), seen);
}

// A painter copying the log while the worker writes must always see whole lines: every
// slot terminated, and each text one the writer actually wrote. Run under ThreadSanitizer
// this also proves the absence of a data race.
TEST_F(StatusLogTest, PainterSnapshotsAreConsistentWhileAWriterWrites) {
    std::atomic<bool> done{false};
    std::thread writer([&] {
        char text[LOG_LINE_BYTES];
        for (int i = 0; i < 20000; ++i) {
            // Each text is one repeated letter, so a torn copy would mix two letters.
            const char letter = static_cast<char>('a' + i % 26);
            const std::size_t length = 1 + static_cast<std::size_t>(i % 258);
            std::memset(text, letter, length);
            text[length] = '\0';
            if (i % 7 == 0) {
                LogClear();
            } else if (i % 3 == 0) {
                LogSetLive(text);
            } else {
                LogAppend(text);
            }
        }
        done = true;
    });
    int snapshots = 0;
    while (!done || snapshots == 0) {
        StatusLog s{};
        LogSnapshot(&s);
        ++snapshots;
        for (const auto& line : s.lines) {
            const std::size_t length = strnlen(line, LOG_LINE_BYTES);
            ASSERT_LT(length, LOG_LINE_BYTES);
            for (std::size_t i = 1; i < length; ++i) {
                ASSERT_EQ(line[0], line[i]) << "torn line " << line;
            }
        }
        ASSERT_GE(s.lineCount, 0);
        ASSERT_LE(s.lineCount, LOG_LINE_COUNT - 1);
        ASSERT_TRUE(!s.scrolling || s.lineCount == LOG_LINE_COUNT - 1);
    }
    writer.join();
    EXPECT_GT(snapshots, 0);
}

} // namespace
