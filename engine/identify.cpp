// Device identification and image choice. The identity request is tried up to five times,
// alternately waiting for its echo and not, because a cable may or may not echo what the
// host sends; the mode that worked stays in force for the rest of the cycle.
#include "engine/identify.h"

#include <cstdio>
#include <cstring>

#include "catalogue/catalogue.h"
#include "link/frame.h"
#include "link/presence.h"
#include "ui/status_log.h"

DeviceIdentity deviceIdentity = {};

namespace {

// Offsets of the identity fields in the unscrambled "R1" reply, each low byte first.
constexpr uint32_t ID_CODE_H_OFFSET = 6;
constexpr uint32_t ID_CODE_B_OFFSET = 9;
constexpr uint32_t ID_CODE_S_OFFSET = 12;
constexpr uint32_t ID_NUMBER1_OFFSET = 15;
constexpr uint32_t ID_NUMBER2_OFFSET = 18;
// The last field ends at offset 19, so a reply must carry at least 17 payload bytes to
// hold all five in front of its two check bytes.
constexpr uint8_t ID_MIN_PAYLOAD_BYTES = 17;
constexpr uint32_t REPLY_LENGTH_OFFSET = 2;

uint16_t ReplyField(uint32_t offset) {
    return static_cast<uint16_t>(rxBuffer[offset] + 256u * rxBuffer[offset + 1]);
}

// An accepted reply is an identity when it is tagged "R1" and long enough to hold every
// field; a shorter one would leave fields to be read from its check bytes or from stale
// bytes behind it in the receive buffer.
bool IsIdentityReply() {
    return rxBuffer[REPLY_LENGTH_OFFSET] >= ID_MIN_PAYLOAD_BYTES && rxBuffer[3] == 'R' &&
           rxBuffer[4] == '1';
}

} // namespace

int GetDeviceInfo() {
    const uint8_t* request = CurrentCatalogue().infoRequest;
    echoSkip = false;
    for (int attempt = 0; attempt < IDENTIFY_ATTEMPTS; ++attempt) {
        // Composed afresh every time: the alive request after a failure overwrites it.
        txLength = request[1];
        std::memcpy(txBuffer, request + 2, txLength);
        if (Transact(REPLY_TIMEOUT_MS) == EXCHANGE_OK && IsIdentityReply()) {
            deviceIdentity.codeH = ReplyField(ID_CODE_H_OFFSET);
            deviceIdentity.codeB = ReplyField(ID_CODE_B_OFFSET);
            deviceIdentity.codeS = ReplyField(ID_CODE_S_OFFSET);
            deviceIdentity.number1 = ReplyField(ID_NUMBER1_OFFSET);
            deviceIdentity.number2 = ReplyField(ID_NUMBER2_OFFSET);
            return 0;
        }
        echoSkip = !echoSkip;
        PingDevice();
    }
    deviceIdentity = DeviceIdentity{};
    LogAppend("Error_GetDeviceInfo !!!");
    return RESULT_NO_IDENTITY;
}

void FormatDeviceId(char* out) {
    std::snprintf(
        out, DEVICE_ID_CHARS + 1, "(%05u:%05u) H:%04X B:%04X S:%04X",
        static_cast<unsigned>(deviceIdentity.number1),
        static_cast<unsigned>(deviceIdentity.number2), static_cast<unsigned>(deviceIdentity.codeH),
        static_cast<unsigned>(deviceIdentity.codeB), static_cast<unsigned>(deviceIdentity.codeS));
}

void ShowDeviceId() {
    if (deviceIdentity.codeH == 0) {
        return;
    }
    char line[LOG_LINE_BYTES];
    std::memcpy(line, "ID ", 3);
    FormatDeviceId(line + 3);
    LogAppend(line);
}

int FindImage() {
    const CatalogueSlot* slots = CurrentCatalogue().slots;
    char line[LOG_LINE_BYTES];
    for (int slot = 0; slot < SLOT_COUNT; ++slot) {
        const FirmwareImage image = slots[slot].image;
        if (image == nullptr) {
            continue;
        }
        const uint8_t status = image[IMAGE_STATUS_OFFSET];
        if (status == IMAGE_SKIPPED) {
            continue;
        }
        if (status != IMAGE_VALID) {
            std::snprintf(line, sizeof line, "Error - pu[0]!=0x01 (%02X)",
                          static_cast<unsigned>(status));
            LogAppend(line);
            continue;
        }
        if (ImageField(image, IMAGE_CODE_H_OFFSET) != deviceIdentity.codeH ||
            ImageField(image, IMAGE_CODE_B_OFFSET) != deviceIdentity.codeB) {
            continue;
        }
        const uint16_t level = ImageField(image, IMAGE_CODE_S_OFFSET);
        if (level < deviceIdentity.codeS && level != FORCE_LEVEL) {
            continue;
        }
        const uint8_t* version = slots[slot].version;
        std::snprintf(line, sizeof line, "%s ver. %02X.%02X", slots[slot].name,
                      static_cast<unsigned>(version[1]), static_cast<unsigned>(version[0]));
        LogAppend(line);
        return level == deviceIdentity.codeS ? FIND_UP_TO_DATE : slot;
    }
    return FIND_NONE;
}
