// The record walk and the header and version readers: the one rule by which every reader
// steps through an image. Kept apart from the compiled-in data so that the build-time
// tools, which produce that data, can share the same rule.
#include "catalogue/catalogue.h"

const uint8_t* ReadRecord(const uint8_t* at, ImageRecord* record) {
    const uint8_t type = at[0] & 0x0F;
    record->recordType = type;
    if (type == RT_END) {
        // Only the first byte of the end record is read: it may be the last byte of all.
        record->payloadLength = 0;
        record->payload = nullptr;
        record->size = 1;
        return at;
    }
    if (type < RT_FILLER) {
        record->payloadLength = static_cast<uint16_t>(((at[0] >> 4) << 8) | at[1]);
        record->payload = at + 2;
        record->size = 2u + record->payloadLength;
        return at + record->size;
    }
    // Types 6 to 15 are two bytes long whatever their length bits say.
    record->payloadLength = 0;
    record->payload = nullptr;
    record->size = 2;
    return at + 2;
}

int CountRecords(FirmwareImage image) {
    const uint8_t* at = FirstRecord(image);
    int count = 0;
    while (count < MAX_RECORDS) {
        ImageRecord record;
        const uint8_t* next = ReadRecord(at, &record);
        if (record.recordType == RT_END) {
            break;
        }
        at = next;
        ++count;
    }
    return count;
}

uint16_t ImageField(FirmwareImage image, std::size_t offset) {
    return static_cast<uint16_t>(image[offset] | (image[offset + 1] << 8));
}

void FormatVersion(const uint8_t* version, char* out) {
    static const char HEX_DIGITS[] = "0123456789ABCDEF";
    out[0] = HEX_DIGITS[version[1] >> 4];
    out[1] = HEX_DIGITS[version[1] & 0x0F];
    out[2] = '.';
    out[3] = HEX_DIGITS[version[0] >> 4];
    out[4] = HEX_DIGITS[version[0] & 0x0F];
    out[5] = '\0';
}
