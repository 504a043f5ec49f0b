// The firmware device: a simulated device that knows the catalogue it is built with. It
// answers the identity and bridge requests, takes image records in order with a flash
// time per record type, and keeps what it received, so a test can say exactly which
// image it now runs and whether that image arrived whole and unaltered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "catalogue/catalogue.h"
#include "sim/basic_device.h"

namespace sim {

// The identity the device reports in its "R1" reply.
struct FirmwareIdentity {
    uint16_t number1 = 0;
    uint16_t number2 = 0;
    uint16_t codeH = 0;
    uint16_t codeB = 0;
    uint16_t codeS = 0;
};

// Time from the end of a packet to the first byte of the device's reply. The defaults are
// those of a current small microcontroller whose application area is erased ahead of the
// records: deciphering a 2 KB record and programming it row by row (about 2.7 ms per
// 256-byte row) takes about 20 ms; the slow record stands for a sector erase or a check
// over the whole image, a few hundred milliseconds. Tests that need a slower device set
// their own.
struct FlashTimes {
    uint32_t requestUs = 2'000; // identity and bridge requests
    uint32_t sendUs = 20'000;   // an RT_SEND record written to flash
    uint32_t slowUs = 300'000;  // RT_SEND_SLOW: a sector erase or a whole-image check
    uint32_t altUs = 20'000;    // RT_SEND_ALT
    uint32_t finalUs = 300'000; // the final packet
};

// Reply tags. "R0" refuses a packet the device heard but will not take.
constexpr char TAG_IDENTITY[] = "R1";
constexpr char TAG_RECORD[] = "R8";
constexpr char TAG_RECORD_ALT[] = "R5";
constexpr char TAG_FINAL[] = "R6";
constexpr char TAG_BRIDGE[] = "RB";
constexpr char TAG_REFUSED[] = "R0";
constexpr uint8_t IDENTITY_REPLY_LENGTH = 17; // payload bytes holding all five fields

struct FirmwareDeviceConfig {
    FirmwareIdentity identity;
    uint8_t identityLength = IDENTITY_REPLY_LENGTH; // L of the "R1" reply (fewer: cut short)
    bool grantsBridge = false;   // answers the bridge request and hands over to `behind`
    bool answersAlive = true;    // false: a dead device that never answers anything
    bool answersFramed = true;   // false: answers alive requests only
    bool awakeAtPlug = true;     // false: asleep until the first break
    int unplugAfterRecords = -1; // unplugs itself after accepting that many records
    FlashTimes flash;
};

// The record stream of one slot's image as the host sends it: the records it exchanges,
// in order, and the final packet it keeps (the walk of the programming pass: up to the
// end record, an RT_STOP or MAX_RECORDS).
struct HeardImage {
    struct Record {
        uint8_t type;
        const uint8_t* payload;
        std::size_t length;
    };
    std::vector<Record> records; // RT_SEND, RT_SEND_SLOW, RT_SEND_ALT
    const uint8_t* finalPayload = nullptr;
    std::size_t finalLength = 0;
    uint16_t codeH = 0;
    uint16_t codeB = 0;
    uint16_t codeS = 0;
};

// Every image of a catalogue as the host would send it, with a lookup by packet bytes.
class CatalogueIndex {
  public:
    explicit CatalogueIndex(const Catalogue& catalogue);
    const Catalogue& Source() const { return catalogue_; }
    // Slot's image, or nullptr for an empty slot.
    const HeardImage* Image(int slot) const;

    struct Ref {
        int slot;
        int record; // index into records, or -1 for the final packet
    };
    // Every place the packet occurs, as a record or as a final packet.
    std::vector<Ref> Find(const uint8_t* bytes, std::size_t n) const;

  private:
    const Catalogue& catalogue_;
    std::vector<std::unique_ptr<HeardImage>> images_; // SLOT_COUNT
    std::unordered_map<std::string_view, std::vector<Ref>> refs_;
};

// What the device holds, for tests and summaries.
struct FirmwareState {
    FirmwareIdentity identity;    // as reported now
    uint16_t startCodeS = 0;      // level when built
    int slot = -1;                // slot whose image it runs since its last update
    bool complete = false;        // that image arrived whole, in order, unaltered, finalised
    uint32_t updates = 0;         // completed updates
    uint32_t recordsAccepted = 0; // records accepted since the last completed update
    uint32_t foreignRecords = 0;  // records of images for another codeH/codeB
    uint32_t refused = 0;         // packets answered with "R0"
    uint32_t unknownPackets = 0;  // packets it did not recognise (no answer)
    uint32_t alivesHeard = 0;
    bool bridgeActive = false;
    bool pulledOut = false; // unplugged itself (unplugAfterRecords)
    uint64_t pulledOutAtUs = 0;
};

// Built on the basic device, which sleeps until a break and answers alive requests; this
// model answers the framed requests.
class FirmwareDevice : public BasicDevice {
  public:
    // `index` nullptr: the device works with CurrentCatalogue().
    FirmwareDevice(const FirmwareDeviceConfig& config,
                   std::shared_ptr<const CatalogueIndex> index = nullptr);
    ~FirmwareDevice() override;

    // A device reached in bridge mode; the front device owns it.
    void SetBehind(std::unique_ptr<FirmwareDevice> behind);
    FirmwareDevice* Behind() const { return behind_.get(); }
    const CatalogueIndex& Index() const { return *index_; }

    // Snapshot of the state; safe from any thread.
    FirmwareState State() const;

    // True when it runs the image of `slot`, received complete and unaltered.
    bool Runs(int slot) const;

    // DeviceModel.
    void OnBreak(uint64_t atUs, bool on) override;
    bool OnPacket(uint64_t atUs, const uint8_t* bytes, std::size_t n, std::vector<uint8_t>* reply,
                  uint64_t* replyAtUs) override;
    bool Present(uint64_t atUs) const override;

  private:
    // The framed part: returns false for no answer; else the plain payload (tag first) and
    // the delay before the reply.
    bool Answer(uint64_t atUs, const uint8_t* bytes, std::size_t n, std::vector<uint8_t>* plain,
                uint32_t* delayUs);
    bool AcceptImagePacket(uint64_t atUs, const uint8_t* bytes, std::size_t n,
                           std::vector<uint8_t>* plain, uint32_t* delayUs);
    void IdentityPayload(std::vector<uint8_t>* plain) const;

    FirmwareDeviceConfig config_;
    std::shared_ptr<const CatalogueIndex> index_;
    std::unique_ptr<FirmwareDevice> behind_;
    mutable std::mutex mutex_; // guards state_ against readers on other threads
    FirmwareState state_;
    // Reception in progress: slots whose image matches what came so far, and the index of
    // the next record expected.
    std::vector<int> candidates_;
    std::size_t next_ = 0;
    int finalisedSlot_ = -1; // slot just finalised: a repeated final packet is answered again
};

} // namespace sim
