// kestrel-campaign: runs the fault campaign and prints its table. Exit status 0 when every
// invariant held, 1 when one broke (the findings are listed), 2 for a usage error.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "reliability/campaign.h"

int main(int argc, char** argv) {
    reliability::CampaignOptions options;
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--cycles") == 0 && hasValue) {
            options.cycles = std::strtoull(argv[++i], nullptr, 10);
        } else if (std::strcmp(argv[i], "--seed") == 0 && hasValue) {
            options.seed = std::strtoull(argv[++i], nullptr, 10);
        } else if (std::strcmp(argv[i], "--records") == 0 && hasValue) {
            options.recordsPerImage = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: %s [--cycles N] [--seed S] [--records R]\n", argv[0]);
            return 2;
        }
    }
    const auto start = std::chrono::steady_clock::now();
    const reliability::CampaignTable table = reliability::RunCampaign(options, [&](uint64_t done) {
        if (done % 1000 == 0 || done == options.cycles) {
            const double s =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            std::fprintf(stderr, "  %llu cycles, %.0f s\n", static_cast<unsigned long long>(done),
                         s);
        }
    });
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::fputs(reliability::FormatCampaignTable(options, table, wall).c_str(), stdout);
    for (const std::string& f : table.findings) {
        std::printf("finding: %s\n", f.c_str());
    }
    const bool passed = reliability::CampaignPassed(table);
    std::printf("%s\n", passed ? "All invariants held." : "INVARIANTS BROKEN.");
    return passed ? 0 : 1;
}
