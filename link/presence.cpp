// Presence detection: the alive request and its two-byte reply, outside the framed
// protocol. Each look at the receive side reads only what is queued, at most 260 bytes,
// and scans every adjacent pair of that one chunk for 0xAC 0x3A.
#include "link/presence.h"

#include <cstdio>
#include <cstring>

#include "link/adapter.h"
#include "link/frame.h"
#include "link/ftd2xx.h"
#include "platform/clock.h"
#include "ui/status_log.h"

int spinnerIndex = 0;

static const char SPINNER_CHARS[] = "/-\\|";

static void ComposeAliveRequest() {
    std::memcpy(txBuffer, ALIVE_REQUEST, sizeof ALIVE_REQUEST);
    txLength = sizeof ALIVE_REQUEST;
}

static void SendAliveRequest() {
    uint32_t written = 0;
    (void)FT_Write(adapterHandle, txBuffer, txLength, &written);
}

// Reads at most 260 of the bytes queued now into chunk. A failed status query or read
// counts as nothing read. Returns the number of bytes read.
static uint32_t ReadChunk(uint8_t* chunk) {
    uint32_t rxQueued = 0;
    uint32_t txQueued = 0;
    uint32_t events = 0;
    if (FT_GetStatus(adapterHandle, &rxQueued, &txQueued, &events) != FT_OK || rxQueued == 0) {
        return 0;
    }
    const uint32_t want = rxQueued < ALIVE_CHUNK_BYTES ? rxQueued : ALIVE_CHUNK_BYTES;
    uint32_t got = 0;
    if (FT_Read(adapterHandle, chunk, want, &got) != FT_OK) {
        return 0;
    }
    return got < want ? got : want;
}

static bool IsAliveReply(const uint8_t* chunk, uint32_t i) {
    return chunk[i] == ALIVE_REPLY_FIRST && chunk[i + 1] == ALIVE_REPLY_SECOND;
}

int PingDevice() {
    uint8_t chunk[ALIVE_CHUNK_BYTES];
    DrainInput();
    ComposeAliveRequest();
    SendAliveRequest();
    SleepMs(PING_WAIT_MS);
    const uint32_t n = ReadChunk(chunk);
    for (uint32_t i = 0; i + 1 < n; ++i) {
        if (IsAliveReply(chunk, i)) {
            return 0;
        }
    }
    return 1;
}

int DetectDevice() {
    uint8_t chunk[ALIVE_CHUNK_BYTES];
    char prompt[LOG_LINE_BYTES];
    char serialNumber[FT_INFO_TEXT_BYTES];
    char description[FT_INFO_TEXT_BYTES];

    int hits = 0;
    uint32_t quietStart = TickCount();
    const uint32_t runStart = TickCount();
    DrainInput();
    ComposeAliveRequest();

    for (;;) {
        SendAliveRequest();
        SleepMs(DETECT_POLL_MS);
        const uint32_t n = ReadChunk(chunk);
        // After a match the scan goes on with the pair that starts at its 0x3A.
        for (uint32_t i = 0; i + 1 < n; ++i) {
            if (IsAliveReply(chunk, i)) {
                quietStart = TickCount();
                hits += 1;
                if (hits >= DETECT_HITS) {
                    DrainInput();
                    return 0;
                }
            }
        }

        // The prompt moves on by exactly one period, so a silent run shows it every 500 ms
        // of the run, whatever the poll period.
        if (static_cast<uint32_t>(TickCount() - quietStart) >= PROMPT_PERIOD_MS) {
            quietStart += PROMPT_PERIOD_MS;
            spinnerIndex = (spinnerIndex + 1) % 4;
            std::snprintf(prompt, sizeof prompt, "Reconnect device please. (%c)",
                          SPINNER_CHARS[spinnerIndex]);
            LogSetLive(prompt);
        }

        uint32_t deviceType = 0;
        uint32_t deviceId = 0;
        if (FT_GetDeviceInfo(adapterHandle, &deviceType, &deviceId, serialNumber, description,
                             nullptr) != FT_OK) {
            adapterLost = 1;
        }
        if (static_cast<uint32_t>(TickCount() - runStart) >= DETECT_RUN_MS || adapterLost != 0) {
            return 1;
        }
    }
}

int SearchDevice(int n) {
    LogAppend("Device searching...");
    int result = DetectDevice();
    while (result != 0) {
        n -= 1;
        if (n <= 0) {
            LogAppend("Device not detected.");
            return result;
        }
        result = DetectDevice();
    }
    LogAppend("Device detected.");
    return 0;
}

void WaitForDisconnect() {
    for (;;) {
        SleepMs(DISCONNECT_CHECK_MS);
        if (PingDevice() == 0 || PingDevice() == 0 || PingDevice() == 0) {
            continue;
        }
        return;
    }
}
