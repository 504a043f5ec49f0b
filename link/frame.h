// Frame exchange: every request to the device goes through Transact, which empties the
// receive queue, sends the request, consumes its echo, then collects one data reply,
// checks it and unscrambles it. Also the frame check and the input drain.
#pragma once

#include <cstdint>

constexpr uint32_t TX_BUFFER_BYTES = 8192;
constexpr uint32_t RX_BUFFER_BYTES = 4096;
constexpr uint32_t DRAIN_CHUNK_BYTES = 4096;      // reads of Transact's own drain
constexpr uint32_t SMALL_DRAIN_CHUNK_BYTES = 260; // reads of DrainInput
constexpr uint32_t ECHO_TIMEOUT_MS = 100;
constexpr uint32_t EXCHANGE_PAUSE_MS = 20; // after every exchange, whatever its outcome
constexpr uint32_t POLL_SLEEP_MS = 1;      // while no byte is queued
constexpr uint32_t REPLY_TIMEOUT_MS = 1500;
constexpr uint32_t SLOW_REPLY_TIMEOUT_MS = 4000;
constexpr uint16_t FRAME_CRC_SEED = 0x7777;
constexpr uint8_t REPLY_START = 0xAD;  // a data reply
constexpr uint8_t ALIVE_START = 0xAC;  // an alive reply
constexpr uint8_t SCRAMBLE_ADD = 0x6A; // received byte b becomes ((b + 0x6A) mod 256) XOR key

// Link buffers, one each per process, worker thread only.
extern uint8_t txBuffer[TX_BUFFER_BYTES];
extern uint32_t txLength;
extern uint8_t rxBuffer[RX_BUFFER_BYTES];
extern uint32_t rxCount;
extern bool echoSkip; // set: Transact expects no echo. Only GetDeviceInfo changes it.

// The result of Transact.
enum ExchangeStatus : int {
    EXCHANGE_OK = 0,      // a data reply was accepted: rxBuffer holds it, unscrambled
    EXCHANGE_NO_ECHO = 1, // the echo was not confirmed within 100 ms
    EXCHANGE_NO_REPLY = 2 // no acceptable data reply before the deadline
};

// Sends txBuffer[0 .. txLength), consumes the echo unless echoSkip is set, and waits up to
// timeoutMs for a data reply that carries txBuffer[1] as its key and passes CheckFrame.
// Always ends with a 20 ms pause. Returns an ExchangeStatus.
int Transact(uint32_t timeoutMs);

// CRC-16 of the frame check: the reflected CCITT polynomial from seed 0x7777, no final
// XOR. Over a whole intact frame, check bytes included, it gives 0.
uint16_t FrameCrc(uint32_t count, const uint8_t* bytes);

// Examines rxBuffer[0 .. rxCount): 0 for a well-formed data reply; 1 shorter than 5
// bytes, 2 not starting with 0xAD, 3 length byte disagrees, 4 CRC does not check.
int CheckFrame();

// Discards everything the adapter has queued, in reads of at most 260 bytes.
void DrainInput();
