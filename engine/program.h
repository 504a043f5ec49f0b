// Image programming: sends the chosen image record by record with retries and a live
// percentage, keeps its final packet, and sends that packet afterwards.
#pragma once

#include <cstdint>

constexpr uint32_t FINAL_PACKET_BYTES = 4120;
constexpr int RECORD_ATTEMPTS = 5;
constexpr uint32_t RETRY_PAUSE_MS = 200;
constexpr int RESULT_NO_IMAGE = 121;
constexpr int RESULT_UP_TO_DATE = 122;
constexpr int RESULT_RECORD_FAILED = 201;

extern uint8_t finalPacket[FINAL_PACKET_BYTES];
extern int finalLength; // 0: no final packet

// Chooses the image with FindImage and sends its records. Returns 0, 121, 122 or 201.
int flash_prog();

// Sends the kept final packet up to five times. Returns 0 when there is none or the device
// accepted it ("R6"); otherwise 1 when the last attempt saw no echo, else 2.
int SendFinalPacket();
