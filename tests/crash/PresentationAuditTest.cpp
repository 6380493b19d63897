// The crash test's judge must itself catch what it is there to catch.
#include <gtest/gtest.h>

#include "tests/crash/PresentationAudit.h"

namespace tamsel::testing {
namespace {

using Ledger = PresentationAudit::Ledger;

Presentation posted(const std::string& id, const std::string& revision) {
    return {id, revision, false, false, false};
}
Presentation own(const std::string& id, const std::string& revision, bool silent, bool handOff) {
    return {id, revision, silent, handOff, true};
}
Ledger available(const std::string& id, const std::string& revision) {
    return {{id, {{"revision", revision}, {"state", "available"}, {"intent", "none"}}}};
}

struct AuditedRun {
    bool killed;
    std::vector<Presentation> presented;
    Ledger before;
};

TEST(PresentationAudit, AcceptsWhatCrashesMayLeaveAndFlagsEveryOtherRepeat) {
    const Ledger none;
    struct Case {
        const char* name;
        std::vector<AuditedRun> runs;
        std::size_t problems;  // in the last run
        std::size_t inFlight;
    } cases[] = {
        {"a post in flight at a kill, posted again by the next run",
         {{true, {posted("n1", "1")}, none}, {false, {posted("n1", "1")}, none}},
         0,
         1},
        {"a post presented again after a run that ended normally",
         {{false, {posted("n1", "1")}, none}, {false, {posted("n1", "1")}, none}},
         1,
         0},
        {"two changes presented again after one kill",
         {{true, {posted("n1", "1"), posted("n2", "1")}, none},
          {false, {posted("n1", "1"), posted("n2", "1")}, none}},
         1,
         1},
        {"the same revision posted twice in one run",
         {{true, {posted("n1", "1"), posted("n1", "1")}, none}},
         1,
         0},
        {"a revision the ledger held as presented, posted again",
         {{false, {posted("n1", "2")}, available("n1", "2")}},
         1,
         0},
        {"a revision older than the ledger's", {{false, {posted("n1", "1")}, available("n1", "2")}}, 1, 0},
        {"a revision the ledger held as withdrawn",
         {{false, {posted("n1", "3")}, {{"n1", {{"revision", "3"}, {"state", "withdrawn"}}}}}},
         1,
         0},
        {"an older revision after a newer one was shown",
         {{true, {posted("n1", "10")}, none}, {false, {posted("n1", "9")}, none}},
         1,
         0},
        {"a repeated hand-off without sound of a recorded revision",
         {{false, {own("n1", "2", true, true)}, available("n1", "2")}},
         0,
         0},
        {"a repeated hand-off that comes with sound",
         {{false, {own("n1", "2", false, true)}, available("n1", "2")}},
         1,
         0},
        {"a silent repeat of something never shown nor recorded",
         {{false, {own("n1", "2", true, true)}, none}},
         1,
         0},
        {"a silent post outside the push's conversation",
         {{false, {{"n1", "2", true, false, false}}, available("n1", "2")}},
         1,
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PresentationAudit audit;
        std::vector<std::string> problems;
        for (const auto& run : c.runs) problems = audit.audit(run.killed, run.presented, run.before);
        EXPECT_EQ(problems.size(), c.problems) << (problems.empty() ? "" : problems.front());
        EXPECT_EQ(audit.changesInFlight(), c.inFlight);
    }
}

TEST(PresentationAudit, RemembersWhatWasShownAndHowItWasHandedBack) {
    PresentationAudit audit;
    EXPECT_TRUE(audit.audit(false, {own("n1", "4", false, true), posted("n2", "7")}, {}).empty());
    EXPECT_TRUE(audit.presented("n1", "4"));
    EXPECT_TRUE(audit.handedOff("n1", "4"));
    EXPECT_TRUE(audit.presented("n2", "7"));
    EXPECT_FALSE(audit.handedOff("n2", "7"));
    EXPECT_FALSE(audit.presented("n2", "6"));
    EXPECT_TRUE(PresentationAudit::newer("10", "9"));
    EXPECT_FALSE(PresentationAudit::newer("9", "9"));
}

}  // namespace
}  // namespace tamsel::testing
