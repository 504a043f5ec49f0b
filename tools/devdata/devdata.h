// The development firmware data set: twenty images and the two stored requests in the
// production shape, made from a seed so that every machine builds the very same bytes.
// The payloads are random; the program never interprets them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace devdata {

constexpr uint64_t DEFAULT_SEED = 0x4B45535452454C01ull;
constexpr int FILLED_SLOTS = 20;            // slots 0 to 19; slot 20 stays empty
constexpr uint8_t ALIVE_REQUEST_KEY = 0x3A; // byte 1 of the alive request

struct DevSlot {
    int index;
    std::string name;
    uint8_t version[2];
    std::string file; // image file name inside the data-set folder
    std::vector<uint8_t> image;
};

struct DataSet {
    std::vector<DevSlot> slots;
    std::vector<uint8_t> infoRequest;   // 42-byte stored request record
    std::vector<uint8_t> bridgeRequest; // 42-byte stored request record
};

// Small, fixed generator (splitmix64): its output depends on nothing but the seed.
class SeededRandom {
  public:
    explicit SeededRandom(uint64_t seed) : state_(seed) {}
    uint64_t Next();
    // A value in [low, high], both included.
    uint32_t Between(uint32_t low, uint32_t high);
    uint8_t Byte() { return static_cast<uint8_t>(Next() >> 56); }

  private:
    uint64_t state_;
};

// Builds the data set for `seed`. Same seed, same bytes.
DataSet MakeDevelopmentDataSet(uint64_t seed);

// Writes manifest.txt, the image files and info.bin / bridge.bin into `dir` (which must
// exist). Returns false with a message in `error` when a file cannot be written.
bool WriteDataSet(const DataSet& set, const std::string& dir, uint64_t seed, std::string* error);

} // namespace devdata
