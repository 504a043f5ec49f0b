// The terminal program's own small pieces: the command line and the transcript lines.
#include <gtest/gtest.h>

#include "ui/console/console.h"

namespace {

TEST(ConsoleOptions, CommandLines) {
    struct Case {
        std::vector<const char*> args;
        int result;
        bool simulate;
        std::string scenario;
        bool virtualTime;
        int64_t stopAfterMs;
    };
    const std::vector<Case> cases = {
        {{}, 0, false, "healthy", false, -1},
        {{"--simulate"}, 0, true, "healthy", false, -1},
        {{"--simulate=no-echo", "--virtual-time"}, 0, true, "no-echo", true, -1},
        {{"--simulate=silent", "--virtual-time", "--stop-after=120000"},
         0,
         true,
         "silent",
         true,
         120000},
        {{"--simulate=nonesuch"}, EXIT_USAGE, true, "nonesuch", false, -1},
        {{"--virtual-time"}, EXIT_USAGE, false, "healthy", true, -1},
        {{"--stop-after="}, EXIT_USAGE, false, "healthy", false, -1},
        {{"--stop-after=-5"}, EXIT_USAGE, false, "healthy", false, -1},
        {{"--simulate", "extra"}, EXIT_USAGE, true, "healthy", false, -1},
    };
    for (const Case& c : cases) {
        std::vector<const char*> argv = {"kestrel"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0]);
        ConsoleOptions o;
        std::string error;
        EXPECT_EQ(ParseConsoleOptions(static_cast<int>(argv.size()), argv.data(), &o, &error),
                  c.result);
        EXPECT_EQ(error.empty(), c.result == 0) << error;
        EXPECT_EQ(o.simulate, c.simulate);
        EXPECT_EQ(o.scenario, c.scenario);
        EXPECT_EQ(o.virtualTime, c.virtualTime);
        EXPECT_EQ(o.stopAfterMs, c.stopAfterMs);
    }
}

TEST(ConsoleTranscript, LinesAndControlCharacters) {
    EXPECT_EQ(TranscriptLogLine(0, LogOp::Clear, ""), "0 clear\n");
    EXPECT_EQ(TranscriptLogLine(20, LogOp::Append, "Device searching..."),
              "20 append Device searching...\n");
    EXPECT_EQ(TranscriptLogLine(15050, LogOp::Live, "Reconnect device please. (\\)"),
              "15050 live Reconnect device please. (\\)\n");
    EXPECT_EQ(TranscriptLogLine(7, LogOp::Append, ""), "7 append \n");
    EXPECT_EQ(TranscriptLogLine(9, LogOp::Append, "\r\n FT_SetChars Failed"),
              "9 append \\r\\n FT_SetChars Failed\n");
    EXPECT_EQ(EscapeText("a\tb\x7f"), "a\\x09b\\x7F");
}

} // namespace
