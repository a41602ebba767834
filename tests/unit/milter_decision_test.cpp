// The one decision on a message, from what came to what the MTA is told
// and how the figures count it: a skipped filter, the host stopping, an
// MTA that takes no holds, forged fields, a hold the MTA refused; and the
// roles and addresses the decision is fed with.
#include <gtest/gtest.h>

#include "milter/address.h"
#include "milter/decision.h"
#include "milter/roles.h"

using namespace milter;

namespace {

// An answer line as a filter writes it, after its token.
Answer Said(const std::string& line) {
    Answer a;
    EXPECT_TRUE(ParseAnswer("1 " + line, a)) << line;
    return a;
}

// Tarnwick-AV first, Tarnwick-AS second, both asked and answered OK, with
// the default failure policies; the MTA takes holds.
struct Rig {
    SitePolicy site{PolicySettings(), {OnFailure::Tempfail, OnFailure::Accept}, {0, 1}};
    MessageFacts facts;
    FieldCounts header;

    Rig() {
        facts.outcome = Outcome{{Said("OK"), Said("OK")}, {true, true},
                                {true, true}, {false, false}};
        facts.canHold = true;
        facts.scoreField = ScoreFieldOfHeader("X-Junk-Score: ^1");
    }
    void Answers(const Answer& av, const Answer& as) { facts.outcome.answers = {av, as}; }
    // The spam rating skipped for a trusted sender: never asked.
    void Unrated() {
        facts.outcome.asked[1] = facts.outcome.answered[1] = false;
        facts.outcome.skipped[1] = true;
    }
    Decision Decide() { return DecideMessage(facts, site); }
};

}  // namespace

TEST(Decision, FiltersAnswersCountedAsTheyCame) {
    Rig run;
    EXPECT_EQ(Classify(run.Decide()), Counted::kAccepted);
    // Skipped on purpose: no failure, whatever its policy, and counted so.
    run.site.onFailure[1] = OnFailure::Reject;
    run.Unrated();
    Decision d = run.Decide();
    EXPECT_EQ(d.verdict.action, Action::Accept);
    EXPECT_FALSE(d.verdict.failed);
    EXPECT_TRUE(d.unrated);
    EXPECT_EQ(Classify(d), Counted::kAcceptedUnrated);
    EXPECT_EQ(AnswersLogText({"Tarnwick-AV", "Tarnwick-AS"}, run.facts, "authenticated session"),
              " Tarnwick-AV=OK Tarnwick-AS=(not rated: authenticated session)");
    // Not answered in time: the filter's policy decides, the log tells why.
    run = Rig();
    run.facts.outcome.answered[1] = false;
    run.facts.waited = Message::Waited::kDeadline;
    d = run.Decide();
    EXPECT_TRUE(d.verdict.failed);
    EXPECT_EQ(Classify(d), Counted::kAcceptedOnFailure);
    EXPECT_EQ(AnswersLogText({"Tarnwick-AV", "Tarnwick-AS"}, run.facts, ""),
              " Tarnwick-AV=OK Tarnwick-AS=(no answer)");
    run.site.onFailure[1] = OnFailure::Reject;
    EXPECT_EQ(Classify(run.Decide()), Counted::kRefusedOnFailure);
    run.site.onFailure[1] = OnFailure::Tempfail;
    EXPECT_EQ(Classify(run.Decide()), Counted::kDeferredOnFailure);
    run.Answers(Said("DISCARD"), Said("OK"));
    EXPECT_EQ(Classify(run.Decide()), Counted::kDiscardedByFilter);
    run.Answers(Said(R"(ERROR "Virus found: X")"), Said("OK"));
    EXPECT_EQ(Classify(run.Decide()), Counted::kRefusedByFilter);
}

TEST(Decision, ShuttingDownDecidesAlone) {
    Rig run;
    run.site.settings.holdInfected = true;
    run.Answers(Said(R"(ERROR "Virus found: X")"), Said("OK"));
    run.facts.waited = Message::Waited::kAbandoned;
    const Decision d = run.Decide();
    EXPECT_TRUE(d.shuttingDown);
    EXPECT_EQ(d.verdict.action, Action::Tempfail);
    EXPECT_EQ(d.verdict.reply,
              std::vector<std::string>{"Content filters shutting down, try again later"});
    EXPECT_FALSE(d.policy.hold);
    EXPECT_EQ(Classify(d), Counted::kDeferredShutdown);
}

// Where the MTA takes no holds, nothing is held: an infected message is
// refused as its filter said, a score at the hold level lets it on, the
// refusal level still refuses.
TEST(Decision, WithoutHoldsTheFiltersAndTheRefusalLevelDecide) {
    Rig run;
    run.facts.canHold = false;
    run.site.settings.holdInfected = true;
    run.site.settings.holdScore = 50;
    run.site.settings.rejectScore = 90;
    run.Answers(Said(R"(ERROR "Virus found: X")"), Said("OK"));
    Decision d = run.Decide();
    EXPECT_EQ(d.verdict.action, Action::Reject);
    EXPECT_EQ(Classify(d), Counted::kRefusedByFilter);
    run.Answers(Said("OK"), Said(R"(ADDHEADER "X-Junk-Score:  60")"));
    d = run.Decide();
    EXPECT_EQ(d.verdict.action, Action::Accept);
    EXPECT_FALSE(d.policy.hold);
    run.Answers(Said("OK"), Said(R"(ADDHEADER "X-Junk-Score:  95")"));
    EXPECT_EQ(Classify(run.Decide()), Counted::kRefusedForScore);
    run.facts.canHold = true;
    run.Answers(Said("OK"), Said(R"(ADDHEADER "X-Junk-Score:  60")"));
    d = run.Decide();
    EXPECT_TRUE(d.policy.hold);
    EXPECT_EQ(Classify(d), Counted::kHeldForScore);
    HoldNotTaken(d);
    EXPECT_EQ(d.verdict.action, Action::Tempfail);
    EXPECT_EQ(Classify(d), Counted::kDeferredHoldFailed);
}

// Incoming fields of the filters' names go, by index, before theirs are
// added; too many to remove refuse the message, a name that could not be
// counted defers it, and neither is held.
TEST(Decision, ForgedFieldsPlannedAndBounded) {
    Rig run;
    run.header.known = {"x-virus-found"};
    run.facts.header = &run.header;
    run.facts.ownFields = {"x-virus-found"};
    for (const char* name : {"X-Junk-Score", "x-junk-score", "Subject", "X-Virus-Found"})
        run.header.Count(name);
    run.Answers(Said("OK"), Said(R"(ADDHEADER "X-Junk-Score:  5\eSubject: x")"));
    Decision d = run.Decide();
    EXPECT_EQ(d.verdict.action, Action::Accept);
    // The answer's own names go too, but never the message's Subject.
    using Fields = std::vector<std::pair<std::string, int>>;
    EXPECT_EQ(d.removal.fields, (Fields{{"x-junk-score", 2}, {"x-virus-found", 1}}));
    EXPECT_EQ(d.removal.count, 3);
    EXPECT_EQ(d.removal.adds, (std::vector<std::string>{"x-junk-score", "subject"}));
    EXPECT_EQ(Classify(d), Counted::kAccepted);

    run.site.settings.holdScore = 0;
    for (int i = 0; i < kMaxRemovals; ++i) run.header.Count("X-Virus-Found");
    d = run.Decide();
    EXPECT_EQ(d.verdict.action, Action::Reject);
    EXPECT_FALSE(d.policy.hold);
    EXPECT_EQ(Classify(d), Counted::kRefusedForFields);

    // Past the cap, a known name is still counted; a new one is not.
    FieldCounts many;
    many.known = {"x-virus-found"};
    for (size_t i = 0; i < kMaxCountedNames; ++i) many.Count("X-Other-" + std::to_string(i));
    many.Count("X-Virus-Found");
    EXPECT_EQ(many.counts.at("x-virus-found"), 1);
    many.Count("X-Junk-Score");
    EXPECT_TRUE(many.uncounted);
    run.facts.header = &many;
    d = run.Decide();
    EXPECT_EQ(d.verdict.action, Action::Tempfail);
    EXPECT_EQ(d.removal.uncounted, "x-junk-score");
    EXPECT_EQ(Classify(d), Counted::kDeferredForFields);
    // Not let on: nothing planned.
    run.Answers(Said("DISCARD"), Said("OK"));
    EXPECT_TRUE(run.Decide().removal.fields.empty());
}

TEST(Roles, FixedByTheProgramTheFirstOfEachRead) {
    EXPECT_EQ(RoleOfProgram("/usr/lib/tarnwick/Tarnwick-AV"), FilterRole::kVirusScan);
    EXPECT_EQ(RoleOfProgram("Tarnwick-AS"), FilterRole::kSpamRating);
    EXPECT_EQ(RoleOfProgram("/opt/Tarnwick-AS/other"), FilterRole::kOther);
    const PolicyFilters p = PolicyFiltersOf(
        {FilterRole::kOther, FilterRole::kSpamRating, FilterRole::kVirusScan, FilterRole::kSpamRating});
    EXPECT_EQ(p.virusScan, 2);
    EXPECT_EQ(p.spamRating, 1);
    EXPECT_EQ(PolicyFiltersOf({FilterRole::kOther}).virusScan, -1);
}

// The MTA's address wins; the client's spelling of that very address is
// kept; the client's path only where the MTA gives none.
TEST(Address, TheMtasWithTheClientsSpelling) {
    std::string out;
    EXPECT_TRUE(MtaAddress("alice@example.org", "<Alice@Example.org> SIZE=1", out));
    EXPECT_EQ(out, "Alice@Example.org");
    EXPECT_TRUE(MtaAddress("<bob@example.org>", "<alice@example.org>", out));
    EXPECT_EQ(out, "bob@example.org");
    EXPECT_FALSE(MtaAddress("<bob@", "<bob@example.org>", out));
    EXPECT_TRUE(MtaAddress(nullptr, "<Carol@example.org>", out));
    EXPECT_EQ(out, "Carol@example.org");
    EXPECT_FALSE(MtaAddress(nullptr, "<carol@example.org", out));
}
