// The terminal program: options, the transcript, the in-place drawing of the ten log
// lines, and the prompts that stand for the message boxes. The worker runs the engine's
// UpdateThread; the main thread draws, asks and decides when the program ends.
#include "ui/console/console.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "engine/cycle.h"
#include "platform/clock.h"
#include "platform/host.h"
#include "sim/scenario.h"
#include "sim/sim_adapter.h"
#include "sim/virtual_clock.h"

#ifndef KESTREL_VERSION
#define KESTREL_VERSION "unknown"
#endif

namespace {

constexpr auto MAIN_POLL = std::chrono::milliseconds(20);

struct BoxRequest {
    std::string text;
    std::string caption;
    unsigned style = 0;
};

// What the worker and the main thread share. The worker writes requests; the main
// thread answers them.
struct ConsoleState {
    std::mutex mutex;
    std::condition_variable wake;
    bool repaint = false;
    bool exitRequested = false; // the worker asked to end; it returns right after
    bool workerDone = false;
    bool stopped = false;
    bool boxPending = false;
    bool boxDone = false;
    BoxRequest box;
    int boxAnswer = ANSWER_NONE;

    std::mutex output; // one writer of standard output at a time
    bool transcript = false;
    bool virtualTime = false;
    int64_t stopAfterMs = -1;
    uint32_t startTick = 0;
    std::string title;
    int drawnLines = 0; // lines of the block drawn last; 0: draw a fresh block
};

ConsoleState state;

uint64_t NowMs() {
    if (state.virtualTime) {
        return sim::VirtualNowMs();
    }
    return static_cast<uint32_t>(TickCount() - state.startTick);
}

void RequestRepaint() {
    std::lock_guard<std::mutex> lock(state.mutex);
    state.repaint = true;
    state.wake.notify_all();
}

void ObserveForTranscript(void*, LogOp op, const char* text) {
    const std::string line = TranscriptLogLine(NowMs(), op, text);
    std::lock_guard<std::mutex> lock(state.output);
    terminal::Write(line);
}

// The host seam on the worker thread: the main thread shows the box and answers.
int ConsoleMessageBox(const char* text, const char* caption, unsigned style) {
    std::unique_lock<std::mutex> lock(state.mutex);
    state.box = BoxRequest{text, caption, style};
    state.boxDone = false;
    state.boxPending = true;
    state.wake.notify_all();
    state.wake.wait(lock, [] { return state.boxDone; });
    return state.boxAnswer;
}

void ConsoleRequestExit() {
    std::lock_guard<std::mutex> lock(state.mutex);
    state.exitRequested = true;
    state.wake.notify_all();
}

const HostBackend consoleHost{ConsoleMessageBox, ConsoleRequestExit};

// On the virtual clock the program's own time decides --stop-after: the worker that
// reaches it stops there for good, so the transcript ends exactly at that time.
void StopAtVirtualTime(void*, uint64_t nowUs) {
    if (state.stopAfterMs < 0 || nowUs < static_cast<uint64_t>(state.stopAfterMs) * 1000u) {
        return;
    }
    std::unique_lock<std::mutex> lock(state.mutex);
    state.stopped = true;
    state.wake.notify_all();
    state.wake.wait(lock, [] { return false; });
}

void WorkerMain() {
    UpdateThread(nullptr);
    std::lock_guard<std::mutex> lock(state.mutex);
    state.workerDone = true;
    state.wake.notify_all();
}

bool KeepWaiting() {
    if (terminal::Interrupted()) {
        return false;
    }
    std::lock_guard<std::mutex> lock(state.mutex);
    return !state.stopped;
}

std::string Fit(const std::string& text, int columns) {
    const std::size_t width = columns > 1 ? static_cast<std::size_t>(columns - 1) : 79u;
    return text.size() > width ? text.substr(0, width) : text;
}

// Redraws the title and the ten lines where they were drawn last.
void Draw() {
    StatusLog log{};
    LogSnapshot(&log);
    const int columns = terminal::Columns();
    std::string out;
    if (state.drawnLines > 0) {
        out += "\x1b[" + std::to_string(state.drawnLines) + "A";
    }
    out += "\r\x1b[2K" + Fit(state.title, columns) + "\n";
    out += "\r\x1b[2K\n";
    for (const auto& line : log.lines) {
        out += "\r\x1b[2K  " + Fit(EscapeText(line), columns - 2) + "\n";
    }
    state.drawnLines = 2 + LOG_LINE_COUNT;
    std::lock_guard<std::mutex> lock(state.output);
    terminal::Write(out);
}

const char* AnswerName(int answer) {
    switch (answer) {
    case ANSWER_YES:
        return "Yes";
    case ANSWER_NO:
        return "No";
    case ANSWER_OK:
        return "OK";
    default:
        return "None";
    }
}

// A message box as a prompt; an answer line of "y" (or anything starting with y) is Yes,
// anything else No; an OK box takes any line. End of input answers No.
int ShowBox(const BoxRequest& box) {
    const bool yesNo = (box.style & 0x0Fu) == BOX_YESNO;
    if (state.transcript) {
        std::lock_guard<std::mutex> lock(state.output);
        terminal::Write(std::to_string(NowMs()) + " box " + box.caption + ": " +
                        EscapeText(box.text.c_str()) + "\n");
    } else {
        std::string text;
        for (char c : box.text) {
            if (c != '\r') {
                text += c;
            }
        }
        std::string out = "\n[" + box.caption + "]\n" + text;
        out += yesNo ? " [y/N] " : "\nPress Enter to go on. ";
        std::lock_guard<std::mutex> lock(state.output);
        terminal::Write("\x1b[?25h" + out);
    }
    std::string line;
    const bool got = terminal::ReadLine(&line, KeepWaiting);
    int answer = ANSWER_OK;
    if (yesNo) {
        answer =
            got && !line.empty() && (line[0] == 'y' || line[0] == 'Y') ? ANSWER_YES : ANSWER_NO;
    }
    if (state.transcript) {
        std::lock_guard<std::mutex> lock(state.output);
        terminal::Write(std::to_string(NowMs()) + " answer " + AnswerName(answer) + "\n");
    } else {
        std::lock_guard<std::mutex> lock(state.output);
        terminal::Write(got ? "\n" : "\n(end of input)\n\n");
        state.drawnLines = 0;
    }
    return answer;
}

[[noreturn]] void Finish(int code, const std::string& reason) {
    {
        std::lock_guard<std::mutex> lock(state.output);
        if (!state.transcript) {
            terminal::Write("\x1b[?25h");
        }
        terminal::Restore();
        std::fprintf(stderr, "kestrel: %s\n", reason.c_str());
        std::fflush(stderr);
        terminal::Exit(code);
    }
}

} // namespace

int ParseConsoleOptions(int argc, const char* const* argv, ConsoleOptions* out,
                        std::string* error) {
    *out = ConsoleOptions{};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            out->help = true;
        } else if (arg == "--version") {
            out->version = true;
        } else if (arg == "--simulate") {
            out->simulate = true;
        } else if (arg.rfind("--simulate=", 0) == 0) {
            out->simulate = true;
            out->scenario = arg.substr(std::strlen("--simulate="));
            if (sim::ScenarioDescription(out->scenario).empty()) {
                std::string names;
                for (const std::string& n : sim::ScenarioNames()) {
                    names += (names.empty() ? "" : ", ") + n;
                }
                *error = "unknown scenario '" + out->scenario + "' (scenarios: " + names + ")";
                return EXIT_USAGE;
            }
        } else if (arg == "--virtual-time") {
            out->virtualTime = true;
        } else if (arg.rfind("--stop-after=", 0) == 0) {
            const std::string ms = arg.substr(std::strlen("--stop-after="));
            if (ms.empty() || ms.size() > 12 ||
                ms.find_first_not_of("0123456789") != std::string::npos) {
                *error = "--stop-after needs a number of milliseconds, not '" + ms + "'";
                return EXIT_USAGE;
            }
            out->stopAfterMs = std::stoll(ms);
        } else {
            *error = "unknown option '" + arg + "' (try --help)";
            return EXIT_USAGE;
        }
    }
    if (out->virtualTime && !out->simulate) {
        *error = "--virtual-time runs the simulated device only: add --simulate";
        return EXIT_USAGE;
    }
    return 0;
}

std::string ConsoleUsage() {
    std::string names;
    for (const std::string& n : sim::ScenarioNames()) {
        names += "  " + n + std::string(n.size() < 15 ? 15 - n.size() : 1, ' ') +
                 sim::ScenarioDescription(n) + "\n";
    }
    return "Usage: kestrel [--simulate[=SCENARIO]] [--virtual-time] [--stop-after=MS]\n"
           "\n"
           "Updates the firmware of the device behind the USB adapter and shows the ten\n"
           "lines of the status log. When standard output is not a terminal it writes a\n"
           "transcript instead: one line per log change and per question, with the\n"
           "milliseconds since start. Answers come from standard input, one line each\n"
           "(y or n); end of input answers No.\n"
           "\n"
           "  --simulate[=SCENARIO]  a simulated bench instead of the adapter (healthy)\n"
           "  --virtual-time         run the simulation on virtual time, as fast as it goes\n"
           "  --stop-after=MS        end after MS milliseconds of the program's clock\n"
           "                         (exit code 3)\n"
           "  --help, --version\n"
           "\n"
           "Scenarios:\n" +
           names;
}

std::string EscapeText(const char* text) {
    std::string out;
    for (const char* p = text; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c == 0x7F) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string TranscriptLogLine(uint64_t ms, LogOp op, const char* text) {
    const char* name = op == LogOp::Append ? "append" : op == LogOp::Live ? "live" : "clear";
    std::string line = std::to_string(ms) + " " + name;
    if (op != LogOp::Clear) {
        line += " " + EscapeText(text);
    }
    return line + "\n";
}

int RunConsole(int argc, const char* const* argv) {
    ConsoleOptions options;
    std::string error;
    if (ParseConsoleOptions(argc, argv, &options, &error) != 0) {
        std::fprintf(stderr, "kestrel: %s\n", error.c_str());
        return EXIT_USAGE;
    }
    if (options.help) {
        terminal::Write(ConsoleUsage());
        return 0;
    }
    if (options.version) {
        terminal::Write("kestrel " KESTREL_VERSION "\n");
        return 0;
    }

    std::unique_ptr<sim::Bench> bench;
    if (options.simulate) {
        if (options.virtualTime) {
            sim::StartVirtualClock(0);
        }
        bench = sim::Bench::Create(options.scenario,
                                   options.virtualTime ? sim::VirtualTime() : sim::RealTime());
        bench->Adapter().Install();
        state.title = "KESTREL " KESTREL_VERSION " - simulated bench '" + options.scenario + "'" +
                      (options.virtualTime ? ", virtual time" : "") + " - Ctrl-C ends";
    } else {
        if (!InstallRealAdapter(&error)) {
            std::fprintf(stderr, "kestrel: %s\n", error.c_str());
            return EXIT_USAGE;
        }
        state.title = "KESTREL " KESTREL_VERSION " - Ctrl-C ends";
    }

    state.transcript = !terminal::OutputIsTerminal();
    state.virtualTime = options.virtualTime;
    state.stopAfterMs = options.stopAfterMs;
    state.startTick = TickCount();
    terminal::CatchInterrupts();
    LogClear(); // the start-up clear, before anyone is told of changes
    if (state.transcript) {
        LogAddObserver(ObserveForTranscript, nullptr);
    } else {
        terminal::Prepare();
        LogInstallRepaint(RequestRepaint);
        Draw();
    }
    if (options.virtualTime) {
        sim::SetVirtualSleepHook(StopAtVirtualTime, nullptr);
    }
    InstallHost(&consoleHost);
    terminal::StartWorker(WorkerMain);

    const auto summary = [&]() { return bench ? " (" + bench->Summary() + ")" : std::string(); };
    std::unique_lock<std::mutex> lock(state.mutex);
    for (;;) {
        state.wake.wait_for(lock, MAIN_POLL, [] {
            return state.repaint || state.boxPending || state.workerDone || state.stopped;
        });
        if (terminal::Interrupted()) {
            lock.unlock();
            Finish(EXIT_INTERRUPTED, "interrupted" + summary());
        }
        if (!state.virtualTime && state.stopAfterMs >= 0 &&
            NowMs() >= static_cast<uint64_t>(state.stopAfterMs)) {
            state.stopped = true;
        }
        if (state.stopped) {
            lock.unlock();
            Finish(EXIT_STOPPED,
                   "stopped after " + std::to_string(state.stopAfterMs) + " ms" + summary());
        }
        if (state.repaint && !state.transcript) {
            state.repaint = false;
            lock.unlock();
            Draw();
            lock.lock();
            continue;
        }
        if (state.boxPending) {
            state.boxPending = false;
            const BoxRequest box = state.box;
            lock.unlock();
            if (!state.transcript) {
                Draw();
            }
            const int answer = ShowBox(box);
            lock.lock();
            state.boxAnswer = answer;
            state.boxDone = true;
            state.wake.notify_all();
            if (!state.transcript) {
                state.repaint = true;
            }
            continue;
        }
        if (state.workerDone) {
            break;
        }
    }
    lock.unlock();
    if (!state.transcript) {
        Draw();
        terminal::Write("\x1b[?25h");
        terminal::Restore();
    }
    std::fprintf(stderr, "kestrel: done%s\n", summary().c_str());
    // The worker has returned; the bench and the seams go with the process.
    terminal::Exit(0);
}
