// The terminal front end of the updater: the same worker and status log as the window
// program, with the ten lines redrawn in place on a terminal, or written as a transcript
// when the output is not a terminal, and the message boxes turned into prompts.
#pragma once

#include <cstdint>
#include <string>

#include "ui/status_log.h"

constexpr int EXIT_STOPPED = 3;       // --stop-after ran out
constexpr int EXIT_USAGE = 2;         // bad command line, or nothing to talk to
constexpr int EXIT_INTERRUPTED = 130; // Ctrl-C

struct ConsoleOptions {
    bool simulate = false;
    std::string scenario = "healthy";
    bool virtualTime = false;
    int64_t stopAfterMs = -1; // -1: run until the worker ends the program
    bool help = false;
    bool version = false;
};

// Reads the command line. Returns 0, or EXIT_USAGE with a one-line reason in *error.
int ParseConsoleOptions(int argc, const char* const* argv, ConsoleOptions* out, std::string* error);

// The usage text of --help.
std::string ConsoleUsage();

// A text with its control characters written out: CR as \r, LF as \n, other bytes below
// 0x20 and 0x7F as \xHH, so one text is one line. Other bytes stay as they are.
std::string EscapeText(const char* text);

// One transcript line (with its newline): "<ms> append|live|clear <text>".
std::string TranscriptLogLine(uint64_t ms, LogOp op, const char* text);

// Runs the program; returns the process's exit code.
int RunConsole(int argc, const char* const* argv);

// What the platform provides (console_posix.cpp).
namespace terminal {
bool OutputIsTerminal();
int Columns(); // of the terminal; 80 when unknown
// Hides the cursor and the echo of typed keys while the screen is drawn; Restore puts
// back what was there, and is also what an interrupt does before the program ends.
void Prepare();
void Restore();
// Ctrl-C and termination requests set a flag instead of killing the program.
void CatchInterrupts();
bool Interrupted();
// Runs fn on a new thread that does not take the interrupts.
void StartWorker(void (*fn)());
// Reads one line of input without its line end, with the key echo on. Returns false at
// end of input, or when keepWaiting() says to give up.
bool ReadLine(std::string* line, bool (*keepWaiting)());
// Writes to standard output and flushes.
void Write(const std::string& text);
// Ends the process at once, with the worker wherever it stands.
[[noreturn]] void Exit(int code);
} // namespace terminal

// Installs the driver of a real adapter. Returns false with a one-line reason when this
// build has none (console_adapter_linux.cpp).
bool InstallRealAdapter(std::string* why);
