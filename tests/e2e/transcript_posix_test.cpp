// The terminal program run as a person would run it for a transcript: every scenario on
// virtual time, stopped after two minutes of its clock, with no answers on its input.
// Checks the exit code, the form of every line and the lines a user must see, in order.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

struct RunResult {
    int exitCode = -1;
    std::vector<std::string> lines;
};

RunResult RunKestrel(const std::string& arguments) {
    const std::string command =
        std::string(KESTREL_BINARY) + " " + arguments + " < /dev/null 2>/dev/null";
    RunResult run;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    std::string line;
    for (int c = std::fgetc(pipe); c != EOF; c = std::fgetc(pipe)) {
        if (c == '\n') {
            run.lines.push_back(line);
            line.clear();
        } else {
            line += static_cast<char>(c);
        }
    }
    const int status = pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

struct TranscriptCase {
    const char* scenario;
    int exitCode;
    // Each must appear, in this order, as the text after the time of some line; one that
    // ends in '*' is the start of such a text.
    std::vector<std::string> inOrder;
};

const std::string NOT_INCLUDED = "box Unsupported device: Firmware for your device is not "
                                 "included.\\r\\nYour device: (00100:04000) H:0A01 B:0235 "
                                 "S:013E\\r\\n\\r\\nSupported devices:\\r\\nDVA1_EN (H:0BAE), *";

const std::vector<TranscriptCase> CASES = {
    {"healthy",
     0,
     {"clear", "append USB adapter o.k.", "append Device searching...", "append Device detected.",
      "append ID (00100:04000) H:0BAE B:0235 S:013E", "append DVA1_EN ver. 01.02", "append ",
      "live Programming, please wait (  0%)", "live Programming, please wait ( 50%)",
      "live Programming, please wait (100%)", "append ID (00100:04000) H:0BAE B:0235 S:013E",
      "append ", "append Update done o.k.", "append Disconnect device please.",
      "box Update done o.k.: Update another device?", "answer No"}},
    {"bridge",
     0,
     {"append ID (00100:04000) H:0BAE B:0235 S:013E", "append Bridge mode activated",
      "append Device detected.", "append ID (00101:04037) H:0BFD B:0235 S:013E",
      "append DVA1_CZ ver. 01.02", "live Programming, please wait (100%)",
      "append ID (00100:04000) H:0BAE B:0235 S:013E", "append DVA1_EN ver. 01.02",
      "live Programming, please wait (100%)", "append Update done o.k.", "answer No"}},
    {"up-to-date",
     3,
     {"append ID (00100:04000) H:0BAE B:0235 S:013F", "append DVA1_EN ver. 01.02",
      "append Device is up to date", "append Update error. Try again please.", "clear",
      "append ID (00101:04037) H:0BFD B:0235 S:013F", "append Device is up to date",
      "append Update error. Try again please."}},
    {"unsupported",
     3,
     {"append ID (00100:04000) H:0A01 B:0235 S:013E", "append Error: No update data found",
      NOT_INCLUDED, "answer OK", "append Update error. Try again please.", "clear",
      "append Error: No update data found", "answer OK"}},
    {"no-echo",
     0,
     {"append Device detected.", "append ID (00100:04000) H:0BAE B:0235 S:013E",
      "live Programming, please wait (100%)", "append Update done o.k.", "answer No"}},
    {"noisy",
     0,
     {"append Device detected.", "live Programming, please wait (100%)", "append Update done o.k.",
      "answer No"}},
    {"silent",
     3,
     {"append Device searching...", "live Reconnect device please. (-)",
      "live Reconnect device please. (\\)", "live Reconnect device please. (|)",
      "live Reconnect device please. (/)", "append Device not detected.", "clear",
      "append USB adapter o.k.", "append Device searching..."}},
    {"no-adapter",
     3,
     {"clear", "append USB adapter connection - Failed", "append Insert USB adapter please.",
      "clear", "append USB adapter connection - Failed", "append Insert USB adapter please."}},
    {"unplug-midway",
     0,
     {"append DVA1_EN ver. 01.02", "live Programming, please wait ( 40%)",
      "append Error_flash_prog_1 !!!", "append Update error. Try again please.", "clear",
      "append ID (00101:04037) H:0BFD B:0235 S:013E", "live Programming, please wait (100%)",
      "append Update done o.k.", "answer No"}},
};

TEST(Transcript, EveryScenarioRunsToItsTranscript) {
    const std::regex form(R"((\d+) (append|live|clear|box|answer)( .*)?)");
    for (const TranscriptCase& c : CASES) {
        SCOPED_TRACE(c.scenario);
        const RunResult run = RunKestrel(std::string("--simulate=") + c.scenario +
                                         " --virtual-time --stop-after=120000");
        EXPECT_EQ(run.exitCode, c.exitCode);
        ASSERT_FALSE(run.lines.empty());
        uint64_t last = 0;
        std::vector<std::string> texts;
        for (const std::string& line : run.lines) {
            std::smatch m;
            ASSERT_TRUE(std::regex_match(line, m, form)) << line;
            const uint64_t ms = std::stoull(m[1].str());
            EXPECT_GE(ms, last) << line;
            EXPECT_LE(ms, 120000u) << line;
            last = ms;
            texts.push_back(line.substr(m[1].length() + 1));
        }
        std::size_t at = 0;
        for (const std::string& want : c.inOrder) {
            const bool prefix = want.back() == '*';
            const std::string text = prefix ? want.substr(0, want.size() - 1) : want;
            while (at < texts.size() &&
                   (prefix ? texts[at].rfind(text, 0) != 0 : texts[at] != text)) {
                ++at;
            }
            ASSERT_LT(at, texts.size()) << "missing, or out of order: " << want;
            ++at;
        }
    }
}

TEST(Transcript, AnswersComeFromInputOneLineEach) {
    // Yes to the first question, then end of input: the second device is updated too.
    const std::string command =
        std::string("printf 'y\\n' | ") + KESTREL_BINARY +
        " --simulate=healthy --virtual-time --stop-after=200000 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    for (int c = std::fgetc(pipe); c != EOF; c = std::fgetc(pipe)) {
        out += static_cast<char>(c);
    }
    const int status = pclose(pipe);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const std::regex answers(R"(\d+ answer (\w+)\n)");
    std::vector<std::string> got;
    for (std::sregex_iterator it(out.begin(), out.end(), answers), end; it != end; ++it) {
        got.push_back((*it)[1].str());
    }
    EXPECT_EQ(got, (std::vector<std::string>{"Yes", "No"}));
    EXPECT_NE(out.find("append ID (00101:04037) H:0BFD B:0235 S:013E"), std::string::npos);
}

TEST(Transcript, CommandLineMistakesEndWithAReason) {
    for (const char* args :
         {"--simulate=nonesuch", "--virtual-time", "--stop-after=soon", "--frobnicate"}) {
        SCOPED_TRACE(args);
        EXPECT_EQ(RunKestrel(args).exitCode, 2);
    }
    // Without --simulate there is no adapter driver in this build yet.
    EXPECT_EQ(RunKestrel("--stop-after=10").exitCode, 2);
    const RunResult version = RunKestrel("--version");
    EXPECT_EQ(version.exitCode, 0);
    ASSERT_EQ(version.lines.size(), 1u);
    EXPECT_EQ(version.lines[0].rfind("kestrel ", 0), 0u);
}

} // namespace
