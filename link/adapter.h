// Adapter acquisition and setup: finds and opens the FT232R by its USB description, sets
// up its serial line, pulses a break and closes it again, reporting each step in the
// status log. Owns the two items of link state that say whether an adapter is there.
#pragma once

#include <cstdint>

#include "link/ftd2xx.h"

// The open adapter, or nullptr. Only OpenAdapter sets it; OpenAdapter and CloseAdapter
// clear it.
extern FT_HANDLE adapterHandle;

// Raised by failed writes and failed presence probes, cleared by a successful open.
// Readers only test it against 0.
extern uint32_t adapterLost;

constexpr const char* ADAPTER_DESCRIPTION = "FT232R USB UART";
constexpr uint32_t LINE_BAUD_RATE = 38400;
constexpr uint8_t LATENCY_TIMER_MS = 4;
constexpr uint8_t EVENT_CHAR = 0x0D;
constexpr uint32_t BREAK_PULSE_MS = 20;
constexpr uint32_t ADAPTER_RETRY_MS = 100;
constexpr uint32_t ADAPTER_RETRY_WINDOW_MS = 5000;

// Results of OpenAdapter.
constexpr int OPEN_LIST_FAILED = 101; // the driver could not build its device list
constexpr int OPEN_FAILED = 102;      // no adapter could be opened
// Result of a failed timing step.
constexpr int TIMING_STEP_FAILED = 2;

// Closes any open adapter, then opens the adapter by its description and sets 38400 8N1
// without flow control. Silent mode leaves out the two connection-failure lines only.
// Returns 0, OPEN_LIST_FAILED or OPEN_FAILED.
int OpenAdapter(bool silent);

// Sets the 4 ms latency timer, then the event character 0x0D, logging each failure.
// Returns 0 when both steps succeeded, else TIMING_STEP_FAILED; no caller uses it.
int ConfigureAdapterTimings();

// Clears the log and waits, for as long as it takes, until an adapter is open and its
// timings are set. Retries silently every 100 ms and starts over every 5 s.
void AcquireAdapter();

// Puts a 20 ms break on the line (statuses ignored, nothing logged).
void PulseBreak();

// Closes the adapter if one is open and forgets its handle.
void CloseAdapter();
