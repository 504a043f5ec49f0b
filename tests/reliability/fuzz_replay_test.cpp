// Replays every fuzz target over its seed corpus and its kept regression cases, so what
// fuzzing once found stays fixed in every build, sanitizer builds included. A target
// aborts with the broken invariant's name when an input breaks it.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

int FuzzTransactOne(const uint8_t* data, std::size_t size);
int FuzzAliveOne(const uint8_t* data, std::size_t size);
int FuzzRecordsOne(const uint8_t* data, std::size_t size);
int FuzzCompilerOne(const uint8_t* data, std::size_t size);

namespace {

struct Target {
    const char* name;
    int (*run)(const uint8_t*, std::size_t);
};

const Target TARGETS[] = {
    {"transact", FuzzTransactOne},
    {"alive", FuzzAliveOne},
    {"records", FuzzRecordsOne},
    {"compiler", FuzzCompilerOne},
};

std::vector<std::filesystem::path> Inputs(const std::string& target) {
    std::vector<std::filesystem::path> files;
    for (const char* folder : {"corpus", "regressions"}) {
        const std::filesystem::path dir = std::filesystem::path(KESTREL_FUZZ_DIR) / folder / target;
        if (std::filesystem::is_directory(dir)) {
            for (const auto& entry : std::filesystem::directory_iterator(dir)) {
                if (entry.is_regular_file()) {
                    files.push_back(entry.path());
                }
            }
        }
    }
    return files;
}

class FuzzReplay : public testing::TestWithParam<Target> {};

TEST_P(FuzzReplay, EveryKeptInputHoldsTheInvariants) {
    const std::vector<std::filesystem::path> files = Inputs(GetParam().name);
    ASSERT_FALSE(files.empty()) << "no seed corpus for " << GetParam().name;
    for (const auto& file : files) {
        SCOPED_TRACE(file.string());
        std::ifstream in(file, std::ios::binary);
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                         std::istreambuf_iterator<char>()};
        EXPECT_EQ(GetParam().run(bytes.data(), bytes.size()), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, testing::ValuesIn(TARGETS),
                         [](const testing::TestParamInfo<Target>& p) {
                             return std::string(p.param.name);
                         });

} // namespace
