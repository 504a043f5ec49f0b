// A quick fault campaign: a few hundred seeded cycles through the real worker, every
// device with its own fault mix. The long one runs in `make reliability`.
#include <gtest/gtest.h>

#include <string>

#include "reliability/campaign.h"

namespace {

TEST(FaultCampaign, QuickCampaignHoldsEveryInvariant) {
    reliability::CampaignOptions options;
    options.cycles = 400;
    options.seed = 2026;
    const reliability::CampaignTable t = reliability::RunCampaign(options);
    std::string findings;
    for (const std::string& f : t.findings) {
        findings += f + "\n";
    }
    SCOPED_TRACE(findings);
    EXPECT_EQ(t.runs, options.cycles);
    EXPECT_EQ(t.falseSuccesses, 0u);
    EXPECT_EQ(t.wrongImageSends, 0u);
    EXPECT_EQ(t.hangs, 0u);
    EXPECT_EQ(t.cleanNotUpdated, 0u);
    EXPECT_EQ(t.wrongReports, 0u);
    // The campaign exercised what it claims: every kind of fault, both outcomes.
    for (int k = 0; k < reliability::FAULT_KIND_COUNT; ++k) {
        EXPECT_GT(t.faults[k], 0u) << reliability::FaultKindName(k);
    }
    EXPECT_GT(t.lineCorrupted + t.lineDropped + t.lineInserted, 0u);
    EXPECT_GT(t.successes, t.clean / 2);
    EXPECT_GT(t.errorLines, 0u);
}

} // namespace
