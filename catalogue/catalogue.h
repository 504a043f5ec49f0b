// The firmware catalogue: a read-only table, compiled into the program, of the images it
// can install, one slot per device variant, and the two stored request packets. This
// file fixes the layouts and the one rule by which every reader walks a record stream.
// Readers read the data where it lies: no copies, no index, no allocation.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int SLOT_COUNT = 21;

// Image header.
constexpr uint8_t IMAGE_VALID = 0x01;    // takes part in the search
constexpr uint8_t IMAGE_SKIPPED = 0xFE;  // passed over without a message
constexpr uint16_t FORCE_LEVEL = 0xFEED; // an image at this level fits any device level
constexpr std::size_t IMAGE_HEADER_BYTES = 16;
constexpr std::size_t IMAGE_STATUS_OFFSET = 0;
constexpr std::size_t IMAGE_CODE_H_OFFSET = 6;
constexpr std::size_t IMAGE_CODE_B_OFFSET = 8;
constexpr std::size_t IMAGE_CODE_S_OFFSET = 10;

// Record stream.
constexpr int MAX_RECORDS = 4100;
enum RecordType : uint8_t {
    RT_END = 0,       // end of the stream
    RT_SEND = 1,      // sent; reply "R8" within 1500 ms
    RT_SEND_SLOW = 2, // sent; reply "R8" within 4000 ms
    RT_FINAL = 3,     // kept as the final packet, sent after the pass
    RT_STOP = 4,      // ends the pass with success; never sent
    RT_SEND_ALT = 5,  // sent; reply "R5" within 1500 ms
    RT_FILLER = 6,    // types 6 to 15: two-byte records, passed over
};
constexpr std::size_t STORED_REQUEST_BYTES = 42; // RT_SEND record of 40 payload bytes

// The longest name that every text embedding it keeps under 260 bytes. The tightest is a
// line of the supported-devices list: up to 80 characters, ", ", the name, " (H:XXXX)",
// and ",\r\n" when the line is broken: name + 94 <= 259. The status-log line and the
// About entry "NAME ver. XX.XX" need only name + 11.
constexpr std::size_t MAX_NAME_CHARS = 165;

// A firmware image: the 16-byte header followed by the record stream. No length is
// stored; the end record is the only end.
using FirmwareImage = const uint8_t*;

struct CatalogueSlot {
    const char* name;       // model, underscore, language code; nullptr for an empty slot
    const uint8_t* version; // 2 bytes, display only; byte 1 is shown first
    FirmwareImage image;    // nullptr for an empty slot
};

// One record as a walk sees it.
struct ImageRecord {
    uint8_t recordType;     // 0..15, the low nibble of byte 0
    uint16_t payloadLength; // 12 bits; meaningful for types 1 to 5 only
    const uint8_t* payload; // inside the image; nullptr for other types
    std::size_t size;       // bytes it occupies: 2 + length for 1..5, 1 for RT_END, else 2
};

// The compiled-in catalogue and stored requests (generated from the data set).
extern const CatalogueSlot FirmwareCatalogue[SLOT_COUNT];
extern const uint8_t infoRequest[STORED_REQUEST_BYTES];
extern const uint8_t bridgeRequest[STORED_REQUEST_BYTES];

// What the engine reads: the compiled-in catalogue, or another one that a test or a
// benchmark selects. Constant for the duration of a run.
struct Catalogue {
    const CatalogueSlot* slots; // SLOT_COUNT of them
    const uint8_t* infoRequest;
    const uint8_t* bridgeRequest;
};
const Catalogue& CurrentCatalogue();
// Selects a catalogue; nullptr goes back to the compiled-in one. Not while a worker runs.
void SelectCatalogue(const Catalogue* catalogue);

// Reads the record that starts at `at`: its type from the low nibble of byte 0, and for
// types 1 to 5 the 12-bit length and the payload behind the header. Type 0 reads byte 0
// only. Returns the start of the next record (unchanged for RT_END).
const uint8_t* ReadRecord(const uint8_t* at, ImageRecord* record);

// The first record of an image's stream.
inline const uint8_t* FirstRecord(FirmwareImage image) {
    return image + IMAGE_HEADER_BYTES;
}

// Counts the records of a stream before its end record, stopping at MAX_RECORDS.
int CountRecords(FirmwareImage image);

// Little-endian 16-bit field of an image header (IMAGE_CODE_H_OFFSET and the others).
uint16_t ImageField(FirmwareImage image, std::size_t offset);

// Formats a slot's version for display: "%02X.%02X" of byte 1 then byte 0 ("01.02").
// `out` needs 6 bytes.
void FormatVersion(const uint8_t* version, char* out);
