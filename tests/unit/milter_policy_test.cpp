// The site's policies: trusted networks as CIDR, Tarnwick-AS's score read
// back from its own fields, and the refusal or hold they lead to.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include "milter/decision.h"
#include "milter/policy.h"

using namespace milter;

namespace {

Network Net(const std::string& text) {
    Network n;
    std::string why;
    EXPECT_TRUE(ParseNetwork(text, n, why)) << text << ": " << why;
    return n;
}

void BadNet(const std::string& text) {
    Network n;
    std::string why;
    EXPECT_FALSE(ParseNetwork(text, n, why)) << text;
    EXPECT_FALSE(why.empty()) << text;
    EXPECT_EQ(n.family, 0) << text;
}

Answer Said(AnswerKind kind, const std::string& text) {
    Answer a;
    a.kind = kind;
    a.text = text;
    return a;
}

// The fields of the packaged settings: the score right-aligned, then its bar.
const ScoreField kField = ScoreFieldOfHeader("X-Junk-Score: ^1 [^2]\\eX-Quillon-Score: ^1 [^2]");

// The virus scan first, the spam rating second, the MTA taking holds.
struct Rig {
    PolicySettings settings;
    std::vector<Answer> answers{Said(AnswerKind::Ok, ""), Said(AnswerKind::Ok, "")};
    std::vector<bool> answered{true, true}, asked{true, true};
    std::vector<OnFailure> onFailure{OnFailure::Tempfail, OnFailure::Accept};

    PolicyOutcome Apply(Verdict& v) {
        MessageFacts facts;
        facts.outcome = Outcome{answers, answered, asked, {false, false}};
        facts.canHold = true;
        facts.scoreField = kField;
        const Decision d = DecideMessage(facts, SitePolicy{settings, onFailure, {0, 1}});
        v = d.verdict;
        return d.policy;
    }
};

}  // namespace

TEST(Networks, CidrForms) {
    EXPECT_EQ(Net("10.0.0.0/8").prefix, 8);
    EXPECT_EQ(Net("192.0.2.7").prefix, 32);
    EXPECT_EQ(Net("0.0.0.0/0").prefix, 0);
    EXPECT_EQ(Net("2001:db8::/32").family, AF_INET6);
    EXPECT_EQ(Net("::1").prefix, 128);
    for (const char* bad : {"", "/8", "10.0.0.0/", "10.0.0.0/33", "10.0.0.0/-1", "10.0.0.0/+8",
                            "10.0.0.0/0008", "10.0.0.0/8x", "10.0.0/8", "10.0.0.0 /8",
                            "2001:db8::/129", "example.org/24", "10.0.0.1/8", "2001:db8::1/64",
                            "10.0.0.0/8/8", "::ffff:10.0.0.0/104"})
        BadNet(bad);
}

TEST(Networks, ClientAddressMatch) {
    const Network v4 = Net("192.0.2.128/25"), v6 = Net("2001:db8:9::/48"), all = Net("0.0.0.0/0");
    EXPECT_TRUE(InNetwork("192.0.2.200", v4));
    EXPECT_FALSE(InNetwork("192.0.2.127", v4));
    EXPECT_TRUE(InNetwork("::ffff:192.0.2.129", v4));  // mapped IPv4
    EXPECT_TRUE(InNetwork("2001:db8:9:ffff::1", v6));
    EXPECT_FALSE(InNetwork("2001:db8:a::1", v6));
    EXPECT_FALSE(InNetwork("192.0.2.200", v6));
    EXPECT_TRUE(InNetwork("203.0.113.9", all));
    EXPECT_FALSE(InNetwork("", all));  // no address from the MTA: not trusted
    EXPECT_FALSE(InNetwork("unknown", all));
}

TEST(Score, RatedAndWhitelistedToldApart) {
    EXPECT_EQ(kField.name, "x-junk-score");
    auto read = [](const std::string& value) {
        return ReadScore({{"Subject", "x"}, {"x-junk-score", value}}, kField);
    };
    for (auto [value, score] : {std::pair{"   0 []", 0}, {"  42 [XX]", 42}, {" 100 [XXXXXXX]", 100}}) {
        const Score s = read(value);
        EXPECT_EQ(s.kind, Score::Kind::kRated) << value;
        EXPECT_EQ(s.value, score) << value;
    }
    EXPECT_EQ(read(" 0 []").kind, Score::Kind::kWhitelisted);
    // Nothing a rating never writes passes for a score.
    for (const char* value : {" 42", "42 []", "  042 []", " 050 []", " 005 []", "  05 []", " 101 []",
                              "  4x []", "", " ", "   []"})
        EXPECT_EQ(read(value).kind, Score::Kind::kNone) << value;
    EXPECT_EQ(ReadScore({{"X-Quillon-Score", "  99 []"}}, kField).kind, Score::Kind::kNone);
    // A header with the score at the start of the value, no blank before it.
    const ScoreField bare = ScoreFieldOfHeader("X-Alert: yes\\eX-Spam:^1");
    EXPECT_EQ(bare.name, "x-spam");
    EXPECT_EQ(ReadScore({{"X-Spam", " 87"}}, bare).value, 87);
    EXPECT_EQ(ReadScore({{"X-Spam", "0"}}, bare).kind, Score::Kind::kWhitelisted);
    EXPECT_TRUE(ScoreFieldOfHeader("X-Spam: yes").name.empty());
}

TEST(Policy, LevelsRefuseOrHoldARatedMessageOnly) {
    Rig run;
    run.settings.rejectScore = 90;
    run.settings.holdScore = 50;
    Verdict v;
    for (auto [value, action, hold] : {std::tuple{" 89 [X]", Action::Accept, true},
                                       {" 90 [X]", Action::Reject, false},
                                       {" 49 [X]", Action::Accept, false},
                                       {" 50 [X]", Action::Accept, true},
                                       {"0 []", Action::Accept, false}}) {
        run.answers[1] = Said(AnswerKind::AddHeader, std::string("X-Junk-Score: ") + value);
        const PolicyOutcome p = run.Apply(v);
        EXPECT_EQ(v.action, action) << value;
        EXPECT_EQ(p.hold, hold) << value;
    }
    run.answers[1] = Said(AnswerKind::AddHeader, "X-Junk-Score:  93 [XXXX]");
    EXPECT_EQ(run.Apply(v).note, "refused: spam score 93 reaches the refusal level 90");
    EXPECT_EQ(v.reply, std::vector<std::string>{"Message refused as spam (score 93, refusal level 90)"});
    EXPECT_TRUE(v.headers.empty());
    // The virus refusal stands; the levels off change nothing.
    run.answers[0] = Said(AnswerKind::Error, "Virus found: X");
    run.Apply(v);
    EXPECT_EQ(v.reply, std::vector<std::string>{"Virus found: X"});
    run.settings = PolicySettings();
    run.answers[0] = Said(AnswerKind::Ok, "");
    EXPECT_TRUE(run.Apply(v).note.empty());
    EXPECT_EQ(v.action, Action::Accept);
}

TEST(Policy, InfectedHeldWithTheOthersFieldsAndTheVirusName) {
    Rig run;
    run.settings.holdInfected = true;
    run.answers[0] = Said(AnswerKind::Error, "Virus found: Eicar\n1 virus(es) found");
    run.answers[1] = Said(AnswerKind::AddHeader, "X-Junk-Score:  12 []");
    Verdict v;
    PolicyOutcome p = run.Apply(v);
    EXPECT_TRUE(p.hold);
    EXPECT_EQ(p.holdReason, "Virus found: Eicar");
    EXPECT_EQ(v.action, Action::Accept);
    ASSERT_EQ(v.headers.size(), 2u);  // the anti-spam field, and the one naming the virus
    // Refused within the head start, or before the anti-spam filter
    // answered: the filter not waited for is no failure (its policy here
    // would defer).
    for (bool asked : {false, true}) {
        run.asked[1] = asked;
        run.answered[1] = false;
        run.onFailure = {OnFailure::Tempfail, OnFailure::Tempfail};
        p = run.Apply(v);
        EXPECT_TRUE(p.hold) << asked;
        EXPECT_EQ(v.action, Action::Accept) << asked;
        EXPECT_FALSE(v.failed) << asked;
    }
    // A refusal of the anti-spam filter's own is not a virus's.
    run.answers[0] = Said(AnswerKind::Ok, "");
    run.answers[1] = Said(AnswerKind::Error, "No");
    run.asked[1] = run.answered[1] = true;
    EXPECT_FALSE(run.Apply(v).hold);
    EXPECT_EQ(v.action, Action::Reject);
}

// Held means held whatever the filter's Mode: a refusal (Mode Reject) is
// held with the field naming what was found added for the release; a
// field of Mode AddHeader holds the message with that field.
TEST(Policy, HeldInfectedMessageNamesWhatWasFound) {
    Rig run;
    run.settings.holdInfected = true;
    run.settings.virusCaption = "Virus found: ";
    run.answers[0] = Said(AnswerKind::Error, "Virus found: Eicar-Test\n1 virus(es) found");
    Verdict v;
    EXPECT_TRUE(run.Apply(v).hold);
    ASSERT_EQ(v.headers.size(), 1u);
    EXPECT_EQ(v.headers[0].first, "X-Virus-Found");
    EXPECT_EQ(v.headers[0].second, " Eicar-Test");
    run.answers[0] = Said(AnswerKind::AddHeader, "X-Virus-Found: Eicar-Test");
    PolicyOutcome p = run.Apply(v);
    EXPECT_TRUE(p.hold);
    EXPECT_EQ(p.holdReason, "X-Virus-Found: Eicar-Test");
    EXPECT_EQ(v.action, Action::Accept);
    ASSERT_EQ(v.headers.size(), 1u);
    EXPECT_EQ(v.headers[0].second, " Eicar-Test");
    // Without --on-virus hold that field lets the message on, as the
    // filter's Mode says.
    run.settings.holdInfected = false;
    EXPECT_FALSE(run.Apply(v).hold);
}

TEST(Policy, TrustReasons) {
    PolicySettings s;
    EXPECT_EQ(s.TrustReason("alice", "10.1.2.3"), "");  // off by default
    s.trustAuthenticated = true;
    s.trustedNetworks.push_back(Net("10.0.0.0/8"));
    EXPECT_EQ(s.TrustReason("alice", "192.0.2.1"), "authenticated session");
    EXPECT_EQ(s.TrustReason("", "10.1.2.3"), "client 10.1.2.3 in trusted network 10.0.0.0/8");
    EXPECT_EQ(s.TrustReason("", "192.0.2.1"), "");
}
