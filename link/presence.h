// Presence detection: a tiny exchange of its own outside the framed protocol. The host
// sends a fixed five-byte alive request; a device answers with the two bytes 0xAC 0x3A.
#pragma once

#include <cstdint>

constexpr uint8_t ALIVE_REQUEST[5] = {0x35, 0x3A, 0xF0, 0x01, 0x64};
constexpr uint8_t ALIVE_REPLY_FIRST = 0xAC;
constexpr uint8_t ALIVE_REPLY_SECOND = 0x3A;
constexpr uint32_t ALIVE_CHUNK_BYTES = 260;
constexpr uint32_t PING_WAIT_MS = 20;
constexpr uint32_t DETECT_POLL_MS = 6;
constexpr uint32_t DETECT_RUN_MS = 2500;
constexpr uint32_t PROMPT_PERIOD_MS = 500;
constexpr int DETECT_HITS = 4; // the fourth alive reply of a run detects the device
constexpr uint32_t DISCONNECT_CHECK_MS = 100;

// Selects the spinner character of the reconnect prompt; survives runs and cycles.
extern int spinnerIndex;

// One alive request and one look at what came back. Returns 0 when an alive reply was
// seen, 1 when none was. Overwrites txBuffer and txLength.
int PingDevice();

// A run of up to 2500 ms of alive requests every 6 ms; the fourth alive reply detects the
// device. Shows the reconnect prompt every 500 ms of silence; ends early when the adapter
// is lost. Returns 0 detected, 1 not.
int DetectDevice();

// Up to n runs of DetectDevice (at least one), framed by status-log lines. Returns 0 when
// the device was detected, else the 1 of the last run.
int SearchDevice(int n);

// Returns once three alive requests in a row have gone unanswered; no time limit.
void WaitForDisconnect();
