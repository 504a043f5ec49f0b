// kestrel-devdata OUTDIR [SEED]: writes the development firmware data set (manifest,
// twenty images, two stored requests) into OUTDIR, creating it if needed.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "tools/devdata/devdata.h"

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: kestrel-devdata OUTDIR [SEED]\n");
        return 2;
    }
    uint64_t seed = devdata::DEFAULT_SEED;
    if (argc == 3) {
        char* end = nullptr;
        seed = std::strtoull(argv[2], &end, 0);
        if (end == argv[2] || *end != '\0') {
            std::fprintf(stderr, "kestrel-devdata: error: seed '%s' is not a number\n", argv[2]);
            return 2;
        }
    }
    std::error_code ec;
    std::filesystem::create_directories(argv[1], ec);
    if (ec) {
        std::fprintf(stderr, "kestrel-devdata: error: %s: %s\n", argv[1], ec.message().c_str());
        return 1;
    }
    std::string error;
    if (!devdata::WriteDataSet(devdata::MakeDevelopmentDataSet(seed), argv[1], seed, &error)) {
        std::fprintf(stderr, "kestrel-devdata: error: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
