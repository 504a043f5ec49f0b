// Reads, checks and compiles a firmware data set. The program trusts its catalogue and
// walks images without bounds, so everything that could lead a walk astray (a record
// running past its image, a stream without an end record) is refused here, once, at build
// time. The bytes are emitted as string literals, which compilers take in far faster than
// brace lists of numbers.
#include "tools/catalogue/compiler.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "catalogue/catalogue.h"

namespace catalogue_compiler {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t REQUEST_PAYLOAD_BYTES = STORED_REQUEST_BYTES - 2;

struct Field {
    std::string value;
    std::size_t offset = 0;      // of the line in the manifest
    std::size_t valueOffset = 0; // of the value's first byte in the manifest
    bool given = false;
};

struct SlotEntry {
    int index = -1;
    std::size_t offset = 0; // of the section header
    Field name, version, image;
    // Filled once checked.
    uint8_t versionBytes[2] = {0, 0};
    std::string imagePath;
    std::vector<uint8_t> bytes;
    bool valid = false;
};

struct RequestsEntry {
    bool given = false;
    std::size_t offset = 0;
    Field info, bridge;
};

std::string Hex2(unsigned v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", v & 0xFFu);
    return text;
}

std::string Hex4(unsigned v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", v & 0xFFFFu);
    return text;
}

class Compiler {
  public:
    Compiler(const std::string& manifestPath, Messages* messages)
        : manifestPath_(manifestPath), messages_(messages) {}

    bool Run(const std::string& outputPath, const std::string& depfilePath);

  private:
    void Error(const std::string& file, const std::string& where, std::size_t offset,
               const std::string& text) {
        messages_->errors.push_back(file + ": " + where + ": offset " + std::to_string(offset) +
                                    ": " + text);
    }
    void Warning(const std::string& file, const std::string& where, std::size_t offset,
                 const std::string& text) {
        messages_->warnings.push_back(file + ": " + where + ": offset " + std::to_string(offset) +
                                      ": " + text);
    }
    static std::string SlotWhere(int index) { return "slot " + std::to_string(index); }

    bool ReadManifest();
    void ParseLine(const std::string& line, std::size_t offset);
    void CheckSlot(SlotEntry& slot);
    bool ReadFile(const Field& field, const std::string& where, std::string* path,
                  std::vector<uint8_t>* bytes);
    void CheckImage(SlotEntry& slot);
    void CheckRequest(const Field& field, const std::string& where, std::vector<uint8_t>* bytes);
    void WarnAboutTwins();
    std::string Generate() const;

    std::string manifestPath_;
    Messages* messages_;
    std::array<std::optional<SlotEntry>, SLOT_COUNT> slots_;
    RequestsEntry requests_;
    // The section that key lines belong to: a slot index, REQUESTS_SECTION or none.
    static constexpr int NO_SECTION = -1;
    static constexpr int REQUESTS_SECTION = -2;
    static constexpr int BAD_SECTION = -3; // keys under a refused header are ignored
    int section_ = NO_SECTION;
    std::vector<uint8_t> info_, bridge_;
    std::vector<std::string> inputs_; // files read, for the depfile
};

std::string Trim(const std::string& text, std::size_t* lead) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) {
        ++begin;
    }
    while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t')) {
        --end;
    }
    if (lead != nullptr) {
        *lead = begin;
    }
    return text.substr(begin, end - begin);
}

bool Compiler::ReadManifest() {
    std::ifstream in(manifestPath_, std::ios::binary);
    if (!in) {
        Error(manifestPath_, "manifest", 0, "the manifest cannot be read");
        return false;
    }
    inputs_.push_back(manifestPath_);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t offset = 0;
    while (offset < text.size()) {
        std::size_t end = text.find('\n', offset);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(offset, end - offset);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        ParseLine(line, offset);
        offset = end + 1;
    }
    return true;
}

void Compiler::ParseLine(const std::string& raw, std::size_t offset) {
    std::size_t lead = 0;
    const std::string line = Trim(raw, &lead);
    if (line.empty() || line[0] == '#') {
        return;
    }
    if (line[0] == '[') {
        section_ = BAD_SECTION;
        if (line.back() != ']') {
            Error(manifestPath_, "manifest", offset, "section header '" + line + "' lacks ']'");
            return;
        }
        const std::string inner = Trim(line.substr(1, line.size() - 2), nullptr);
        if (inner == "requests") {
            if (requests_.given) {
                Error(manifestPath_, "requests", offset,
                      "[requests] is given twice (first at offset " +
                          std::to_string(requests_.offset) + ")");
                return;
            }
            requests_.given = true;
            requests_.offset = offset;
            section_ = REQUESTS_SECTION;
            return;
        }
        if (inner.rfind("slot", 0) == 0) {
            const std::string number = Trim(inner.substr(4), nullptr);
            bool digits = !number.empty() && number.size() <= 9;
            for (char c : number) {
                digits = digits && c >= '0' && c <= '9';
            }
            if (!digits) {
                Error(manifestPath_, "slot " + number, offset,
                      "slot number '" + number + "' is not a number");
                return;
            }
            const int index = std::stoi(number);
            if (index >= SLOT_COUNT) {
                Error(manifestPath_, SlotWhere(index), offset,
                      "slot number " + std::to_string(index) + " is out of range 0 to " +
                          std::to_string(SLOT_COUNT - 1));
                return;
            }
            if (slots_[index]) {
                Error(manifestPath_, SlotWhere(index), offset,
                      "slot " + std::to_string(index) + " is given twice (first at offset " +
                          std::to_string(slots_[index]->offset) + ")");
                return;
            }
            slots_[index].emplace();
            slots_[index]->index = index;
            slots_[index]->offset = offset;
            section_ = index;
            return;
        }
        Error(manifestPath_, "manifest", offset,
              "unknown section '" + line + "' (expected [slot N] or [requests])");
        return;
    }
    const std::size_t equals = line.find('=');
    const std::string where = section_ >= 0                  ? SlotWhere(section_)
                              : section_ == REQUESTS_SECTION ? "requests"
                                                             : "manifest";
    if (equals == std::string::npos) {
        Error(manifestPath_, where, offset, "line '" + line + "' is not 'key = value'");
        return;
    }
    const std::string key = Trim(line.substr(0, equals), nullptr);
    std::size_t valueLead = 0;
    const std::string value = Trim(line.substr(equals + 1), &valueLead);
    Field* field = nullptr;
    if (section_ >= 0) {
        SlotEntry& slot = *slots_[section_];
        field = key == "name"      ? &slot.name
                : key == "version" ? &slot.version
                : key == "image"   ? &slot.image
                                   : nullptr;
    } else if (section_ == REQUESTS_SECTION) {
        field = key == "info" ? &requests_.info : key == "bridge" ? &requests_.bridge : nullptr;
    } else if (section_ == BAD_SECTION) {
        return;
    } else {
        Error(manifestPath_, where, offset, "'" + key + "' stands before any section");
        return;
    }
    if (field == nullptr) {
        Error(manifestPath_, where, offset, "unknown key '" + key + "'");
        return;
    }
    if (field->given) {
        Error(manifestPath_, where, offset,
              "'" + key + "' is given twice (first at offset " + std::to_string(field->offset) +
                  ")");
        return;
    }
    field->given = true;
    field->value = value;
    field->offset = offset;
    field->valueOffset = offset + lead + equals + 1 + valueLead;
}

bool Compiler::ReadFile(const Field& field, const std::string& where, std::string* path,
                        std::vector<uint8_t>* bytes) {
    fs::path file(field.value);
    if (file.is_relative()) {
        file = fs::path(manifestPath_).parent_path() / file;
    }
    *path = file.string();
    std::error_code ec;
    if (field.value.empty() || !fs::is_regular_file(file, ec)) {
        Error(manifestPath_, where, field.valueOffset,
              "file '" + field.value + "' is missing or not a regular file");
        return false;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        Error(manifestPath_, where, field.valueOffset, "file '" + field.value + "' cannot be read");
        return false;
    }
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        Error(manifestPath_, where, field.valueOffset, "file '" + field.value + "' cannot be read");
        return false;
    }
    inputs_.push_back(*path);
    return true;
}

void Compiler::CheckSlot(SlotEntry& slot) {
    const std::string where = SlotWhere(slot.index);
    std::string missing;
    for (auto [field, key] : {std::pair<const Field*, const char*>{&slot.name, "name"},
                              {&slot.version, "version"},
                              {&slot.image, "image"}}) {
        if (!field->given) {
            missing += missing.empty() ? key : std::string(", ") + key;
        }
    }
    if (!missing.empty()) {
        Error(manifestPath_, where, slot.offset,
              "a slot needs a name, a version and an image; this one lacks " + missing);
        return;
    }
    bool ok = true;
    const std::string& name = slot.name.value;
    if (name.empty()) {
        Error(manifestPath_, where, slot.name.valueOffset, "the name is empty");
        ok = false;
    }
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (c < 0x20 || c > 0x7E) {
            Error(manifestPath_, where, slot.name.valueOffset + i,
                  "the name holds byte " + Hex2(c) + ", which is not printable ASCII");
            ok = false;
            break;
        }
    }
    if (name.size() > MAX_NAME_CHARS) {
        Error(manifestPath_, where, slot.name.valueOffset,
              "the name has " + std::to_string(name.size()) + " characters; at most " +
                  std::to_string(MAX_NAME_CHARS) +
                  " keep every text that shows it under 260 bytes");
        ok = false;
    }
    // Two hexadecimal bytes in stored order: byte 0, then byte 1.
    std::istringstream version(slot.version.value);
    std::string parts[3];
    version >> parts[0] >> parts[1] >> parts[2];
    bool versionOk = parts[2].empty() && !parts[1].empty();
    for (int i = 0; i < 2 && versionOk; ++i) {
        versionOk = parts[i].size() <= 2 &&
                    parts[i].find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
        if (versionOk) {
            slot.versionBytes[i] = static_cast<uint8_t>(std::stoul(parts[i], nullptr, 16));
        }
    }
    if (!versionOk) {
        Error(manifestPath_, where, slot.version.valueOffset,
              "version '" + slot.version.value +
                  "' is not two hexadecimal bytes (byte 0 then byte 1, as in '02 01')");
        ok = false;
    }
    if (!ReadFile(slot.image, where, &slot.imagePath, &slot.bytes)) {
        return;
    }
    if (ok) {
        CheckImage(slot);
    }
}

void Compiler::CheckImage(SlotEntry& slot) {
    const std::string where = SlotWhere(slot.index);
    const std::vector<uint8_t>& bytes = slot.bytes;
    const std::string& file = slot.imagePath;
    if (bytes.size() < IMAGE_HEADER_BYTES) {
        Error(file, where, bytes.size(),
              "the image has " + std::to_string(bytes.size()) +
                  " bytes, fewer than its 16-byte header");
        return;
    }
    // The walk of the program, with the bounds the program does not check.
    std::size_t at = IMAGE_HEADER_BYTES;
    int count = 0;
    for (;;) {
        if (at >= bytes.size()) {
            Error(file, where, at, "the record stream has no end record within the file");
            return;
        }
        const uint8_t type = bytes[at] & 0x0F;
        if (type == RT_END) {
            break;
        }
        if (at + 2 > bytes.size()) {
            Error(file, where, at, "the record header runs past the end of the file");
            return;
        }
        ImageRecord record;
        ReadRecord(bytes.data() + at, &record);
        if (at + record.size > bytes.size()) {
            Error(file, where, at,
                  "the record's payload of " + std::to_string(record.payloadLength) +
                      " bytes runs past the end of the file (" +
                      std::to_string(bytes.size() - at - 2) + " bytes left)");
            return;
        }
        at += record.size;
        if (++count == MAX_RECORDS) {
            Error(file, where, at,
                  "the record stream has no end record within " + std::to_string(MAX_RECORDS) +
                      " records");
            return;
        }
    }
    slot.valid = true;
    const uint8_t status = bytes[IMAGE_STATUS_OFFSET];
    if (status != IMAGE_VALID && status != IMAGE_SKIPPED) {
        Warning(file, where, IMAGE_STATUS_OFFSET,
                "status " + Hex2(status) +
                    " is neither 0x01 nor 0xFE: the image is never chosen and every search "
                    "reports it");
    }
    if (at + 1 < bytes.size()) {
        Warning(file, where, at + 1,
                std::to_string(bytes.size() - at - 1) +
                    " bytes behind the end record are never read");
    }
}

void Compiler::CheckRequest(const Field& field, const std::string& where,
                            std::vector<uint8_t>* bytes) {
    if (!field.given) {
        Error(manifestPath_, where, requests_.offset,
              "the [requests] section needs 'info' and 'bridge'");
        return;
    }
    std::string path;
    if (!ReadFile(field, where, &path, bytes)) {
        return;
    }
    const std::vector<uint8_t>& b = *bytes;
    if (b.size() < 2 || b[0] != RT_SEND || b[1] != REQUEST_PAYLOAD_BYTES) {
        Error(path, where, 0,
              "a stored request must be an RT_SEND record of 40 payload bytes "
              "(header 0x01 0x28)");
        bytes->clear();
        return;
    }
    if (b.size() != STORED_REQUEST_BYTES) {
        Error(path, where, std::min(b.size(), STORED_REQUEST_BYTES),
              "a stored request must be 42 bytes long, this file has " + std::to_string(b.size()));
        bytes->clear();
    }
}

void Compiler::WarnAboutTwins() {
    for (int i = 0; i < SLOT_COUNT; ++i) {
        if (!slots_[i] || !slots_[i]->valid || slots_[i]->bytes[0] != IMAGE_VALID) {
            continue;
        }
        for (int j = i + 1; j < SLOT_COUNT; ++j) {
            if (!slots_[j] || !slots_[j]->valid || slots_[j]->bytes[0] != IMAGE_VALID) {
                continue;
            }
            const uint8_t* a = slots_[i]->bytes.data();
            const uint8_t* b = slots_[j]->bytes.data();
            if (ImageField(a, IMAGE_CODE_H_OFFSET) == ImageField(b, IMAGE_CODE_H_OFFSET) &&
                ImageField(a, IMAGE_CODE_B_OFFSET) == ImageField(b, IMAGE_CODE_B_OFFSET)) {
                Warning(slots_[j]->imagePath, SlotWhere(j), IMAGE_CODE_H_OFFSET,
                        "codeH " + Hex4(ImageField(b, IMAGE_CODE_H_OFFSET)) + " and codeB " +
                            Hex4(ImageField(b, IMAGE_CODE_B_OFFSET)) + " are those of slot " +
                            std::to_string(i) + ", which a search reaches first");
            }
        }
    }
}

// Bytes as adjacent string literals: printable characters as they are, the rest as
// three-digit octal escapes, which never swallow the character behind them.
void AppendLiteral(std::string& out, const uint8_t* bytes, std::size_t size) {
    constexpr std::size_t LINE_CHARS = 96;
    std::size_t lineStart = out.size();
    out += "    \"";
    for (std::size_t i = 0; i < size; ++i) {
        const uint8_t c = bytes[i];
        if (c >= 0x20 && c <= 0x7E && c != '"' && c != '\\' && c != '?') {
            out += static_cast<char>(c);
        } else {
            out += '\\';
            out += static_cast<char>('0' + (c >> 6));
            out += static_cast<char>('0' + ((c >> 3) & 7));
            out += static_cast<char>('0' + (c & 7));
        }
        if (out.size() - lineStart >= LINE_CHARS && i + 1 < size) {
            out += "\"\n";
            lineStart = out.size();
            out += "    \"";
        }
    }
    out += "\"";
}

std::string ByteList(const std::vector<uint8_t>& bytes) {
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        out += (i % 12 == 0) ? "\n    " : " ";
        out += Hex2(bytes[i]) + ",";
    }
    return out + "\n";
}

std::string Compiler::Generate() const {
    std::string out;
    out.reserve(6u << 20);
    out += "// The compiled-in firmware catalogue, generated by kestrel-catalogue from\n// ";
    out += manifestPath_;
    out += "\n// Edit the data set and rebuild; do not edit this file.\n";
    out += "#include \"catalogue/catalogue.h\"\n\n";
    out += "#pragma GCC diagnostic ignored \"-Woverlength-strings\"\n\n";
    out += "namespace {\n";
    for (int i = 0; i < SLOT_COUNT; ++i) {
        if (!slots_[i]) {
            continue;
        }
        const SlotEntry& slot = *slots_[i];
        char label[64];
        std::snprintf(label, sizeof label, "const uint8_t VERSION_%02d[2] = {%s, %s};\n", i,
                      Hex2(slot.versionBytes[0]).c_str(), Hex2(slot.versionBytes[1]).c_str());
        out += label;
        std::snprintf(label, sizeof label, "// %zu bytes\nconst uint8_t IMAGE_%02d[] =\n",
                      slot.bytes.size(), i);
        out += label;
        AppendLiteral(out, slot.bytes.data(), slot.bytes.size());
        out += ";\n\n";
    }
    out += "} // namespace\n\nconst CatalogueSlot FirmwareCatalogue[SLOT_COUNT] = {\n";
    for (int i = 0; i < SLOT_COUNT; ++i) {
        if (!slots_[i]) {
            out += "    {nullptr, nullptr, nullptr},\n";
            continue;
        }
        std::string name;
        AppendLiteral(name, reinterpret_cast<const uint8_t*>(slots_[i]->name.value.data()),
                      slots_[i]->name.value.size());
        char label[64];
        std::snprintf(label, sizeof label, ", VERSION_%02d, IMAGE_%02d},\n", i, i);
        out += "    {" + name.substr(4) + label;
    }
    out += "};\n\nconst uint8_t infoRequest[STORED_REQUEST_BYTES] = {" + ByteList(info_) + "};\n";
    out += "const uint8_t bridgeRequest[STORED_REQUEST_BYTES] = {" + ByteList(bridge_) + "};\n";
    return out;
}

std::string DepfileEscape(const std::string& path) {
    std::string out;
    for (char c : path) {
        if (c == ' ' || c == '#' || c == '\\') {
            out += '\\';
        } else if (c == '$') {
            out += '$';
        }
        out += c;
    }
    return out;
}

bool WriteAtomically(const std::string& path, const std::string& text, std::string* error) {
    const std::string temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.close();
        if (!out) {
            std::error_code ec;
            fs::remove(temp, ec);
            *error = path + ": cannot be written";
            return false;
        }
    }
    std::error_code ec;
    fs::rename(temp, path, ec);
    if (ec) {
        fs::remove(temp, ec);
        *error = path + ": cannot be written: " + ec.message();
        return false;
    }
    return true;
}

bool Compiler::Run(const std::string& outputPath, const std::string& depfilePath) {
    if (ReadManifest()) {
        for (auto& slot : slots_) {
            if (slot) {
                CheckSlot(*slot);
            }
        }
        if (!requests_.given) {
            Error(manifestPath_, "requests", 0,
                  "the manifest has no [requests] section with 'info' and 'bridge'");
        } else {
            CheckRequest(requests_.info, "info request", &info_);
            CheckRequest(requests_.bridge, "bridge request", &bridge_);
        }
        WarnAboutTwins();
    }
    if (messages_->errors.empty()) {
        std::string error;
        if (WriteAtomically(outputPath, Generate(), &error)) {
            if (depfilePath.empty()) {
                return true;
            }
            std::string deps = DepfileEscape(outputPath) + ":";
            for (const std::string& input : inputs_) {
                deps += " \\\n  " + DepfileEscape(fs::absolute(input).string());
            }
            if (WriteAtomically(depfilePath, deps + "\n", &error)) {
                return true;
            }
        }
        messages_->errors.push_back(error);
    }
    // Refused: leave no output, so that the build cannot go on with an older catalogue.
    std::error_code ec;
    fs::remove(outputPath, ec);
    if (!depfilePath.empty()) {
        fs::remove(depfilePath, ec);
    }
    return false;
}

} // namespace

bool CompileCatalogue(const std::string& manifestPath, const std::string& outputPath,
                      const std::string& depfilePath, Messages* messages) {
    Compiler compiler(manifestPath, messages);
    return compiler.Run(outputPath, depfilePath);
}

} // namespace catalogue_compiler
