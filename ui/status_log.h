// The status log: ten lines of text that every step of the update reports through and
// the main window paints. Plain data, free of any window system: after each change it
// calls the repaint request that the front end installs.
#pragma once

#include <cstddef>

constexpr int LOG_LINE_COUNT = 10;
constexpr std::size_t LOG_LINE_BYTES = 260; // a slot holds at most 259 bytes and a NUL

struct StatusLog {
    char lines[LOG_LINE_COUNT][LOG_LINE_BYTES];
    int lineCount;  // lines appended since the clear while filling; the live-write slot
    bool scrolling; // set by the append that fills slot 9, cleared only by LogClear
};

// Adds a line below the previous ones, scrolling once all ten slots are used. A text of
// 260 bytes or more is ignored.
void LogAppend(const char* text);

// Overwrites the slot below the last appended line (slot 9 while scrolling). A text of
// 260 bytes or more is ignored.
void LogSetLive(const char* text);

// Empties every slot and returns to filling from slot 0.
void LogClear();

// Installs the repaint request called after every change; nullptr removes it.
void LogInstallRepaint(void (*requestRepaint)());

// Copies the whole log as one consistent state: a writer on another thread never shows
// half-written in the copy. The painter and the tests read through this.
void LogSnapshot(StatusLog* out);

// What a change was, for observers (transcripts, the simulated bench).
enum class LogOp { Append, Live, Clear };

// Observers are told of every change after it is made, on the writer's thread, with the
// text as stored (empty for a clear). Up to four; returns false when all are taken.
using LogObserver = void (*)(void* context, LogOp op, const char* text);
bool LogAddObserver(LogObserver observer, void* context);
void LogRemoveObserver(LogObserver observer, void* context);

// Back to the state at program start: empty, no repaint request, no observers. Tests only.
void LogReset();
