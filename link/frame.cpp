// Frame exchange: Transact sends a request, consumes its echo and collects one checked
// data reply; FrameCrc and CheckFrame check a frame; DrainInput empties the receive queue.
// Bytes are read one at a time, each behind its own status query, so a reply is
// recognised the moment its last byte is read.
#include "link/frame.h"

#include <cstring>

#include "link/adapter.h"
#include "link/ftd2xx.h"
#include "platform/clock.h"

uint8_t txBuffer[TX_BUFFER_BYTES];
uint32_t txLength = 0;
uint8_t rxBuffer[RX_BUFFER_BYTES];
uint32_t rxCount = 0;
bool echoSkip = false;

static uint8_t drainScratch[DRAIN_CHUNK_BYTES];

// Bytes queued now; a failed status query counts as an empty queue, so every loop idles
// or ends on it instead of reading what was never reported.
static uint32_t QueuedBytes() {
    uint32_t rxQueued = 0;
    uint32_t txQueued = 0;
    uint32_t events = 0;
    if (FT_GetStatus(adapterHandle, &rxQueued, &txQueued, &events) != FT_OK) {
        return 0;
    }
    return rxQueued;
}

// Reads and discards everything queued, in reads of at most chunk bytes.
static void Drain(uint32_t chunk) {
    for (;;) {
        const uint32_t queued = QueuedBytes();
        if (queued == 0) {
            return;
        }
        const uint32_t want = queued < chunk ? queued : chunk;
        uint32_t got = 0;
        if (FT_Read(adapterHandle, drainScratch, want, &got) != FT_OK || got == 0) {
            return;
        }
    }
}

// One poll: reads one byte if one is queued. When none came, sleeps 1 ms. Returns true
// with the byte in *b when one was read.
static bool PollByte(uint8_t* b) {
    if (QueuedBytes() >= 1) {
        uint32_t got = 0;
        if (FT_Read(adapterHandle, b, 1, &got) == FT_OK && got == 1) {
            return true;
        }
    }
    SleepMs(POLL_SLEEP_MS);
    return false;
}

// Stores a received byte unless rxBuffer is full; further bytes are thrown away.
static void StoreByte(uint8_t b) {
    if (rxCount < RX_BUFFER_BYTES) {
        rxBuffer[rxCount] = b;
        rxCount += 1;
    }
}

uint16_t FrameCrc(uint32_t count, const uint8_t* bytes) {
    uint16_t crc = FRAME_CRC_SEED;
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t x = static_cast<uint8_t>(bytes[i] ^ (crc & 0xFF));
        x = static_cast<uint8_t>(x ^ static_cast<uint8_t>(x << 4));
        crc = static_cast<uint16_t>(((static_cast<uint16_t>(x) << 8) | (crc >> 8)) ^ (x >> 4) ^
                                    (static_cast<uint16_t>(x) << 3));
    }
    return crc;
}

int CheckFrame() {
    if (rxCount < 5) {
        return 1;
    }
    if (rxBuffer[0] != REPLY_START) {
        return 2;
    }
    if (rxBuffer[2] != rxCount - 5) {
        return 3;
    }
    if (FrameCrc(rxCount, rxBuffer) != 0) {
        return 4;
    }
    return 0;
}

void DrainInput() {
    Drain(SMALL_DRAIN_CHUNK_BYTES);
}

// The echo phase: collects bytes until they equal the request. A byte that cannot start
// the echo is dropped; a false start that fills txLength bytes without matching is shifted
// out one byte at a time, so an echo behind noise is still found. Returns true when the
// echo was confirmed before the 100 ms deadline (tested after each pass, with the time
// taken before its poll).
static bool ConsumeEcho() {
    const uint32_t t0 = TickCount();
    for (;;) {
        const uint32_t now = TickCount();
        uint8_t b = 0;
        if (PollByte(&b)) {
            StoreByte(b);
            if (rxCount == 1 && b != txBuffer[0]) {
                rxCount = 0;
            }
            if (rxCount == txLength) {
                if (std::memcmp(rxBuffer, txBuffer, txLength) == 0) {
                    return true;
                }
                std::memmove(rxBuffer, rxBuffer + 1, rxCount - 1);
                rxCount -= 1;
            }
        }
        if (static_cast<uint32_t>(now - t0) > ECHO_TIMEOUT_MS) {
            return false;
        }
    }
}

int Transact(uint32_t timeoutMs) {
    int status = EXCHANGE_NO_ECHO;

    Drain(DRAIN_CHUNK_BYTES);

    // A request never exceeds the transmit buffer; a larger length is cut to it rather
    // than sending what lies beyond.
    const uint32_t sendLength = txLength < TX_BUFFER_BYTES ? txLength : TX_BUFFER_BYTES;
    uint32_t written = 0;
    if (FT_Write(adapterHandle, txBuffer, sendLength, &written) != FT_OK) {
        adapterLost += 1;
    }

    rxCount = 0;
    if (echoSkip || ConsumeEcho()) {
        rxCount = 0;
        status = EXCHANGE_NO_REPLY;
    }

    // The reply phase. The first 0xAC or 0xAD kept stays byte 0: a frame is never
    // restarted. After an unconfirmed echo it runs to its deadline without accepting.
    const uint32_t t1 = TickCount();
    for (;;) {
        const uint32_t now = TickCount();
        uint8_t b = 0;
        if (PollByte(&b)) {
            StoreByte(b);
            if (rxCount == 1 && b != ALIVE_START && b != REPLY_START) {
                rxCount = 0;
            }
            if (status == EXCHANGE_NO_REPLY && rxCount >= 5 && rxBuffer[1] == txBuffer[1] &&
                CheckFrame() == 0) {
                status = EXCHANGE_OK;
                break;
            }
        }
        if (static_cast<uint32_t>(now - t1) > timeoutMs) {
            break;
        }
    }

    if (status == EXCHANGE_OK) {
        for (uint32_t i = 3; i < rxCount; ++i) {
            rxBuffer[i] = static_cast<uint8_t>(static_cast<uint8_t>(rxBuffer[i] + SCRAMBLE_ADD) ^
                                               rxBuffer[1]);
        }
    }

    SleepMs(EXCHANGE_PAUSE_MS);
    return status;
}
