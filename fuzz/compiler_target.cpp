// Fuzz target: the catalogue compiler over arbitrary manifests and data files. The input
// is a manifest, a zero byte, then up to three files (a.bin, b.bin, c.bin), each a 16-bit
// little-endian length and its bytes; they are written into a private temporary folder.
// Whatever they hold, the compiler must either refuse them, leaving no output behind, or
// accept only images that a record walk cannot leave.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "fuzz/scripted_line.h"
#include "tools/catalogue/compiler.h"

namespace {

namespace fs = std::filesystem;

const char* const FILE_NAMES[3] = {"a.bin", "b.bin", "c.bin"};

const fs::path& Folder() {
    static const fs::path folder = [] {
        std::string pattern = (fs::temp_directory_path() / "kestrel-fuzz-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            fuzzline::Fail("cannot make a temporary folder");
        }
        return fs::path(pattern);
    }();
    return folder;
}

void WriteFile(const fs::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::string Trim(const std::string& s) {
    const std::size_t b = s.find_first_not_of(" \t\r");
    const std::size_t e = s.find_last_not_of(" \t\r");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

// Values of every "image = ..." line of the manifest.
std::vector<std::string> ImageValues(const std::string& manifest) {
    std::vector<std::string> values;
    std::size_t at = 0;
    while (at <= manifest.size()) {
        std::size_t end = manifest.find('\n', at);
        if (end == std::string::npos) {
            end = manifest.size();
        }
        const std::string line = manifest.substr(at, end - at);
        const std::size_t eq = line.find('=');
        if (eq != std::string::npos && Trim(line.substr(0, eq)) == "image") {
            values.push_back(Trim(line.substr(eq + 1)));
        }
        at = end + 1;
    }
    return values;
}

// True when a walk of the image stays inside its bytes and ends at an end record within
// the walk's record limit: the layout rule, applied with bounds.
bool WalkStaysInside(const std::vector<uint8_t>& image) {
    std::size_t at = IMAGE_HEADER_BYTES;
    for (int records = 0; records < MAX_RECORDS; ++records) {
        if (at >= image.size()) {
            return false;
        }
        const uint8_t type = image[at] & 0x0F;
        if (type == 0) {
            return true;
        }
        if (at + 2 > image.size()) {
            return false;
        }
        std::size_t size = 2;
        if (type <= 5) {
            size += static_cast<std::size_t>((image[at] >> 4) << 8 | image[at + 1]);
        }
        if (at + size > image.size()) {
            return false;
        }
        at += size;
    }
    return true; // the walk stops at its limit, inside the image
}

} // namespace

int FuzzCompilerOne(const uint8_t* data, std::size_t size) {
    std::size_t at = 0;
    while (at < size && data[at] != 0) {
        ++at;
    }
    const std::string manifest(reinterpret_cast<const char*>(data), at);
    // Paths stay inside the data-set folder: a manifest naming /dev/zero is not data.
    if (manifest.find('/') != std::string::npos || manifest.find('\\') != std::string::npos) {
        return 0;
    }
    ++at;
    std::vector<std::vector<uint8_t>> files;
    for (int i = 0; i < 3 && at + 2 <= size; ++i) {
        std::size_t n = static_cast<std::size_t>(data[at] | data[at + 1] << 8);
        at += 2;
        n = n < size - at ? n : size - at;
        files.emplace_back(data + at, data + at + n);
        at += n;
    }

    const fs::path& folder = Folder();
    for (const char* name : FILE_NAMES) {
        fs::remove(folder / name);
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        WriteFile(folder / FILE_NAMES[i], files[i]);
    }
    const fs::path manifestPath = folder / "manifest.txt";
    const fs::path output = folder / "catalogue.cpp";
    WriteFile(manifestPath, std::vector<uint8_t>(manifest.begin(), manifest.end()));
    fs::remove(output);

    catalogue_compiler::Messages messages;
    const bool written =
        catalogue_compiler::CompileCatalogue(manifestPath.string(), output.string(), "", &messages);
    if (written != fs::exists(output)) {
        fuzzline::Fail("the compiler's result disagrees with its output");
    }
    if (written != messages.errors.empty()) {
        fuzzline::Fail("output written despite errors, or refused without one");
    }
    if (written) {
        const std::vector<std::string> images = ImageValues(manifest);
        for (std::size_t i = 0; i < files.size(); ++i) {
            int uses = 0;
            for (const std::string& v : images) {
                uses += v == FILE_NAMES[i] ? 1 : 0;
            }
            if (uses > 0 && images.size() == static_cast<std::size_t>(uses) &&
                !WalkStaysInside(files[i])) {
                fuzzline::Fail("the compiler accepted an image whose walk leaves it");
            }
        }
    }
    return 0;
}

#ifdef KESTREL_LIBFUZZER
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    return FuzzCompilerOne(data, size);
}
#endif
