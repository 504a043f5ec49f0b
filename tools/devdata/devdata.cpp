// Builds the development data set: the production shape with random payloads. Every draw
// comes from one seeded generator of our own, in a fixed order, so the bytes never depend
// on the machine or on the standard library's distributions.
#include "tools/devdata/devdata.h"

#include <cstdio>
#include <set>

namespace devdata {

namespace {

// Invented model names: five models in three languages, then five in English only.
const char* const THREE_LANGUAGE_MODELS[] = {"DVA1", "DVB20", "DVC300", "DVE4", "DVF50"};
const char* const ENGLISH_ONLY_MODELS[] = {"DVG600", "DVH7", "DVJ80", "DVK900", "DVL1"};
const char* const LANGUAGES[] = {"EN", "CZ", "FR"};

constexpr uint16_t CODE_B = 0x0235;
constexpr uint16_t CODE_S = 0x013F;
constexpr uint8_t CODE_H_HIGH = 0x0B;
constexpr int EDGE_PAYLOAD_BYTES = 170; // first send, slow send and final records
constexpr int RUN_PAYLOAD_BYTES = 2078;
constexpr int REQUEST_PAYLOAD_BYTES = 40;
// Image size = 535 + 2080 * run + short, which the production range 74,141..75,801
// bounds to a short record of 806..1962 bytes in a run of 35, 266..386 in a run of 36.
constexpr uint32_t SHORT_MIN_35 = 806, SHORT_MAX_35 = 1962;
constexpr uint32_t SHORT_MIN_36 = 266, SHORT_MAX_36 = 386;

// Reply-start bytes of the device: no packet may begin with one, so that no echo of a
// packet can be taken for the start of a reply.
bool IsReplyStart(uint8_t b) {
    return b == 0xAC || b == 0xAD;
}

void AppendRecord(std::vector<uint8_t>& out, uint8_t type, const std::vector<uint8_t>& payload) {
    const std::size_t length = payload.size();
    out.push_back(static_cast<uint8_t>(((length >> 8) << 4) | type));
    out.push_back(static_cast<uint8_t>(length & 0xFF));
    out.insert(out.end(), payload.begin(), payload.end());
}

struct Keys {
    uint8_t info;
    uint8_t bridge;
};

// A packet whose byte 0 is no reply start and whose byte 1 (the key its reply carries)
// is none of `avoid`.
std::vector<uint8_t> Packet(SeededRandom& random, std::size_t length,
                            const std::set<uint8_t>& avoidKeys) {
    std::vector<uint8_t> packet(length);
    for (auto& b : packet) {
        b = random.Byte();
    }
    while (IsReplyStart(packet[0])) {
        packet[0] = random.Byte();
    }
    while (avoidKeys.count(packet[1]) != 0) {
        packet[1] = random.Byte();
    }
    return packet;
}

} // namespace

uint64_t SeededRandom::Next() {
    state_ += 0x9E3779B97F4A7C15ull;
    uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint32_t SeededRandom::Between(uint32_t low, uint32_t high) {
    return low + static_cast<uint32_t>(Next() % (static_cast<uint64_t>(high) - low + 1));
}

DataSet MakeDevelopmentDataSet(uint64_t seed) {
    SeededRandom random(seed);
    DataSet set;

    // The stored requests: keys distinct from each other and from the alive request's.
    Keys keys{};
    do {
        keys.info = random.Byte();
    } while (keys.info == ALIVE_REQUEST_KEY);
    do {
        keys.bridge = random.Byte();
    } while (keys.bridge == ALIVE_REQUEST_KEY || keys.bridge == keys.info);
    std::vector<uint8_t> info = Packet(random, REQUEST_PAYLOAD_BYTES, {});
    info[1] = keys.info;
    std::vector<uint8_t> bridge = Packet(random, REQUEST_PAYLOAD_BYTES, {});
    bridge[1] = keys.bridge;
    AppendRecord(set.infoRequest, 1, info);
    AppendRecord(set.bridgeRequest, 1, bridge);
    // No image packet carries a request's key, so none can be taken for a request.
    const std::set<uint8_t> imageAvoid = {ALIVE_REQUEST_KEY, keys.info, keys.bridge};

    std::set<uint8_t> usedCodeH;
    std::set<uint32_t> usedShortPlace;
    for (int index = 0; index < FILLED_SLOTS; ++index) {
        DevSlot slot;
        slot.index = index;
        if (index < 15) {
            slot.name = std::string(THREE_LANGUAGE_MODELS[index / 3]) + "_" + LANGUAGES[index % 3];
        } else {
            slot.name = std::string(ENGLISH_ONLY_MODELS[index - 15]) + "_EN";
        }
        slot.version[0] = 0x02;
        slot.version[1] = 0x01;
        char file[16];
        std::snprintf(file, sizeof file, "slot%02d.bin", index);
        slot.file = file;

        uint8_t codeHLow = 0;
        do {
            codeHLow = random.Byte();
        } while (!usedCodeH.insert(codeHLow).second);

        std::vector<uint8_t>& image = slot.image;
        image = {0x01,
                 0,
                 0,
                 0,
                 0,
                 0,
                 codeHLow,
                 CODE_H_HIGH,
                 CODE_B & 0xFF,
                 CODE_B >> 8,
                 CODE_S & 0xFF,
                 CODE_S >> 8,
                 0xFF,
                 0xFF,
                 0xFF,
                 0xFF};

        const uint32_t run = random.Between(35, 36);
        const uint32_t shortBytes = run == 35 ? random.Between(SHORT_MIN_35, SHORT_MAX_35)
                                              : random.Between(SHORT_MIN_36, SHORT_MAX_36);
        // The short record's place within the run (0 = before the first 2078-byte record),
        // different in every image.
        uint32_t shortPlace = 0;
        do {
            shortPlace = random.Between(0, run);
        } while (!usedShortPlace.insert(shortPlace).second);

        AppendRecord(image, 1, Packet(random, EDGE_PAYLOAD_BYTES, imageAvoid));
        for (uint32_t i = 0; i <= run; ++i) {
            const std::size_t length = i == shortPlace ? shortBytes : RUN_PAYLOAD_BYTES;
            AppendRecord(image, 1, Packet(random, length, imageAvoid));
        }
        AppendRecord(image, 2, Packet(random, EDGE_PAYLOAD_BYTES, imageAvoid));
        AppendRecord(image, 3, Packet(random, EDGE_PAYLOAD_BYTES, imageAvoid));
        image.push_back(0x00);
        set.slots.push_back(std::move(slot));
    }
    return set;
}

namespace {
bool WriteFile(const std::string& path, const void* data, std::size_t size, std::string* error) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        *error = path + ": cannot be created";
        return false;
    }
    const bool ok = std::fwrite(data, 1, size, f) == size;
    if (std::fclose(f) != 0 || !ok) {
        *error = path + ": cannot be written";
        return false;
    }
    return true;
}
} // namespace

bool WriteDataSet(const DataSet& set, const std::string& dir, uint64_t seed, std::string* error) {
    char seedText[32];
    std::snprintf(seedText, sizeof seedText, "0x%016llX", static_cast<unsigned long long>(seed));
    std::string manifest = "# Development firmware data set made by kestrel-devdata, seed ";
    manifest += seedText;
    manifest += ".\n# Random payloads in the production shape; no device can use them.\n\n";
    manifest += "[requests]\ninfo = info.bin\nbridge = bridge.bin\n";
    for (const DevSlot& slot : set.slots) {
        char version[8];
        std::snprintf(version, sizeof version, "%02X %02X", slot.version[0], slot.version[1]);
        manifest += "\n[slot " + std::to_string(slot.index) + "]\nname = " + slot.name +
                    "\nversion = " + version + "\nimage = " + slot.file + "\n";
        if (!WriteFile(dir + "/" + slot.file, slot.image.data(), slot.image.size(), error)) {
            return false;
        }
    }
    return WriteFile(dir + "/info.bin", set.infoRequest.data(), set.infoRequest.size(), error) &&
           WriteFile(dir + "/bridge.bin", set.bridgeRequest.data(), set.bridgeRequest.size(),
                     error) &&
           WriteFile(dir + "/manifest.txt", manifest.data(), manifest.size(), error);
}

} // namespace devdata
