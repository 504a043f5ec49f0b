// Image programming: walks the chosen image's record stream twice, once to count the
// records for the percentage and once to send them, retrying each record up to five
// times; keeps the image's final packet and sends it when the caller asks.
#include "engine/program.h"

#include <cstdio>
#include <cstring>

#include "catalogue/catalogue.h"
#include "engine/identify.h"
#include "link/frame.h"
#include "platform/clock.h"
#include "ui/status_log.h"

uint8_t finalPacket[FINAL_PACKET_BYTES];
int finalLength = 0;

namespace {

constexpr int PERCENT_DONE = 100;
constexpr uint32_t REPLY_LENGTH_OFFSET = 2;
constexpr uint8_t REPLY_TAG_BYTES = 2;

// True when the reply that Transact accepted carries the two-character tag. A reply with
// fewer than two payload bytes carries no tag at all: its bytes 3 and 4 are check bytes.
bool ReplyTagIs(const char* tag) {
    return rxBuffer[REPLY_LENGTH_OFFSET] >= REPLY_TAG_BYTES && rxBuffer[3] == tag[0] &&
           rxBuffer[4] == tag[1];
}

void ShowProgress(int percent) {
    char line[LOG_LINE_BYTES];
    std::snprintf(line, sizeof line, "Programming, please wait (%3d%%)", percent);
    LogSetLive(line);
}

// One exchange for a sending record whose payload is in txBuffer: the device's reply tag
// says whether it took it.
bool SendRecord(const ImageRecord& record) {
    switch (record.recordType) {
    case RT_SEND:
        return Transact(REPLY_TIMEOUT_MS) == EXCHANGE_OK && ReplyTagIs("R8");
    case RT_SEND_SLOW:
        return Transact(SLOW_REPLY_TIMEOUT_MS) == EXCHANGE_OK && ReplyTagIs("R8");
    case RT_SEND_ALT:
        return Transact(REPLY_TIMEOUT_MS) == EXCHANGE_OK && ReplyTagIs("R5");
    default:
        return false;
    }
}

} // namespace

int flash_prog() {
    const int slot = FindImage();
    if (slot == FIND_UP_TO_DATE) {
        LogAppend("Device is up to date");
        return RESULT_UP_TO_DATE;
    }
    if (slot < 0) {
        LogAppend("Error: No update data found");
        return RESULT_NO_IMAGE;
    }
    const FirmwareImage image = CurrentCatalogue().slots[slot].image;

    LogAppend("");
    ShowProgress(0);
    // Counted before anything is sent, so the percentage is measured against the whole
    // stream.
    const int recordCount = CountRecords(image);

    int recordIndex = 0;
    int percent = 0;
    const uint8_t* at = FirstRecord(image);
    for (;;) {
        ImageRecord record{};
        const uint8_t* next = ReadRecord(at, &record);
        if (record.recordType == RT_END) {
            break;
        }
        if (record.recordType < RT_FILLER) {
            bool accepted = false;
            for (int attempt = 0; attempt < RECORD_ATTEMPTS && !accepted; ++attempt) {
                txLength = record.payloadLength;
                std::memcpy(txBuffer, record.payload, record.payloadLength);
                if (record.recordType == RT_STOP) {
                    return 0;
                }
                if (record.recordType == RT_FINAL) {
                    finalLength = record.payloadLength;
                    std::memcpy(finalPacket, record.payload, record.payloadLength);
                    accepted = true;
                } else {
                    accepted = SendRecord(record);
                    if (!accepted) {
                        SleepMs(RETRY_PAUSE_MS);
                    }
                }
            }
            if (!accepted) {
                LogAppend("Error_flash_prog_1 !!!");
                return RESULT_RECORD_FAILED;
            }
            // Shows every percentage whose share of the stream has now been reached.
            while (recordIndex >= (percent * recordCount) / PERCENT_DONE) {
                ShowProgress(percent);
                ++percent;
            }
        }
        at = next;
        ++recordIndex;
        if (recordIndex >= MAX_RECORDS) {
            break;
        }
    }
    ShowProgress(PERCENT_DONE);
    return 0;
}

int SendFinalPacket() {
    if (finalLength == 0) {
        return 0;
    }
    int status = EXCHANGE_OK;
    for (int attempt = 0; attempt < RECORD_ATTEMPTS; ++attempt) {
        txLength = static_cast<uint32_t>(finalLength);
        std::memcpy(txBuffer, finalPacket, static_cast<std::size_t>(finalLength));
        status = Transact(REPLY_TIMEOUT_MS);
        if (status == EXCHANGE_OK && ReplyTagIs("R6")) {
            return 0;
        }
        SleepMs(RETRY_PAUSE_MS);
    }
    // A valid reply with another tag on the last attempt is a refusal, not a success: the
    // device did not take the final packet.
    return status == EXCHANGE_OK ? EXCHANGE_NO_REPLY : status;
}
