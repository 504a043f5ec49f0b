// The update cycle and the worker: one complete update of one device, and the thread
// that runs cycles back to back for the life of the process.
#pragma once

#include <cstddef>

constexpr int RESULT_NO_DEVICE = 1;
constexpr int RESULT_BRIDGE_REFUSED = 13;
constexpr int BRIDGE_ATTEMPTS = 3;
constexpr int SEARCH_RUNS = 10;
constexpr int BRIDGE_SEARCH_RUNS = 1;
constexpr unsigned AFTER_BREAK_MS = 200;
constexpr unsigned ERROR_PAUSE_MS = 2000;
constexpr std::size_t REPORT_BYTES = 5000;
constexpr std::size_t REPORT_LINE_BYTES = 260;
constexpr std::size_t SUPPORTED_LINE_WRAP = 80;

// One complete update: adapter, break, search, identify, bridge pass, main pass, final
// packet. Returns the first non-zero result of its steps unchanged, or 0.
int UpdateCycle();

// Sends the stored bridge request up to three times. Returns 0 when any exchange was
// accepted, 13 when none was.
int RequestBridgeMode();

// Appends the list of supported devices to the NUL-terminated text (capacity `size`).
void AppendSupportedList(char* text, std::size_t size);

// The worker thread: cycles back to back; after a success asks whether to go on and ends
// the program through the host on any answer but Yes. Returns 0 after the exit request.
unsigned UpdateThread(void* unused);
