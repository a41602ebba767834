#include "milter/decision.h"

#include "common/base/text.h"

namespace milter {

namespace {

bool Said(const Outcome& o, int i, AnswerKind kind) {
    return i >= 0 && static_cast<size_t>(i) < o.answers.size() && o.answered[i] &&
           o.answers[i].kind == kind;
}

// The field naming what was found, for the release of a held refusal: the
// one the virus scan adds in its Mode AddHeader.
std::vector<HeaderField> FoundField(const PolicySettings& settings, const std::string& why) {
    std::string found = why;
    const std::string& caption = settings.virusCaption;
    if (!caption.empty() && found.size() > caption.size() &&
        found.compare(0, caption.size(), caption) == 0)
        found = found.substr(caption.size());
    std::string field;
    fprintS(field, settings.virusField.substr(0, 4096));
    for (size_t at = field.find("^1"); at != std::string::npos;
         at = field.find("^1", at + found.size()))
        field.replace(at, 2, found);
    int skipped = 0;
    return HeaderFields(field, skipped);
}

// The policies on the merged verdict, which they may change.
PolicyOutcome ApplyPolicies(const MessageFacts& facts, const SitePolicy& site,
                            const std::vector<bool>& letOn, Verdict& verdict) {
    PolicyOutcome p;
    const Outcome& o = facts.outcome;
    const PolicySettings& settings = site.settings;
    const int virus = site.filters.virusScan, spam = site.filters.spamRating;
    const bool holdInfected = settings.holdInfected && facts.canHold;
    const int holdScore = facts.canHold ? settings.holdScore : -1;
    if (verdict.action == Action::Reject && holdInfected && Said(o, virus, AnswerKind::Error)) {
        // The refusal the merge chose is the first filter's that refused.
        bool first = true;
        for (int i = 0; i < virus; ++i) first = first && !Said(o, i, AnswerKind::Error);
        if (first) {
            // The message stands on the others' answers; a filter the
            // refusal spared asking or waiting for is no failure of its own.
            std::vector<bool> spared = letOn;
            spared[virus] = true;
            for (size_t i = 0; i < spared.size(); ++i)
                if (!o.asked[i] || !o.answered[i]) spared[i] = true;
            const std::string why = verdict.reply.empty() ? "infected" : verdict.reply[0];
            verdict = MergeAnswers(o.answers, o.answered, site.onFailure, spared);
            if (verdict.action != Action::Accept) return p;
            for (const HeaderField& f : FoundField(settings, why)) verdict.headers.push_back(f);
            p.rule = PolicyOutcome::Rule::kVirusHold;
            p.hold = true;
            p.holdReason = why;
            p.note = "held: " + why;
            return p;
        }
    }
    // Mode AddHeader: the filter lets an infected message on with its field
    // naming what it found (and answers a clean one OK); that field stays.
    if (verdict.action == Action::Accept && holdInfected && Said(o, virus, AnswerKind::AddHeader)) {
        int skipped = 0;
        const std::vector<HeaderField> fields = HeaderFields(o.answers[virus].text, skipped);
        p.rule = PolicyOutcome::Rule::kVirusHold;
        p.hold = true;
        p.holdReason = fields.empty() ? "infected" : fields[0].first + ":" + fields[0].second;
        p.note = "held: " + p.holdReason;
        return p;
    }
    const bool levels = settings.rejectScore >= 0 || holdScore >= 0;
    if (verdict.action != Action::Accept || !levels || !Said(o, spam, AnswerKind::AddHeader))
        return p;
    int skipped = 0;
    const Score s = ReadScore(HeaderFields(o.answers[spam].text, skipped), facts.scoreField);
    if (s.kind != Score::Kind::kRated) return p;
    const std::string score = std::to_string(s.value);
    if (settings.rejectScore >= 0 && s.value >= settings.rejectScore) {
        const std::string level = std::to_string(settings.rejectScore);
        verdict.action = Action::Reject;
        verdict.headers.clear();
        verdict.reply.assign(
            1, "Message refused as spam (score " + score + ", refusal level " + level + ")");
        p.rule = PolicyOutcome::Rule::kScoreRefusal;
        p.note = "refused: spam score " + score + " reaches the refusal level " + level;
    } else if (holdScore >= 0 && s.value >= holdScore) {
        const std::string level = std::to_string(holdScore);
        p.rule = PolicyOutcome::Rule::kScoreHold;
        p.hold = true;
        p.holdReason = "spam score " + score + " reaches the hold level " + level;
        p.note = "held: " + p.holdReason;
    }
    return p;
}

// A message whose forged fields cannot all be removed is not let on.
void PlanForgedFields(const MessageFacts& facts, Decision& d) {
    Verdict& v = d.verdict;
    if (v.action != Action::Accept || !facts.header) return;
    d.removal = PlanRemoval(*facts.header, facts.ownFields, v.headers);
    if (!d.removal.uncounted.empty()) {
        v.action = Action::Tempfail;
        v.reply.assign(1, "Too many distinct header fields, try again later");
    } else if (d.removal.count > kMaxRemovals) {
        v.action = Action::Reject;
        v.reply.assign(1, "Too many header fields named like the content filters' own");
    } else {
        return;
    }
    d.forgedFields = true;
    d.policy.hold = false;  // refused or deferred after all
}

}  // namespace

Decision DecideMessage(const MessageFacts& facts, const SitePolicy& site) {
    Decision d;
    const Outcome& o = facts.outcome;
    if (facts.waited == Message::Waited::kAbandoned) {
        d.shuttingDown = true;
        d.verdict.action = Action::Tempfail;
        d.verdict.reply.assign(1, "Content filters shutting down, try again later");
        return d;
    }
    // A filter skipped on purpose let the message on.
    std::vector<bool> letOn(o.answers.size(), false);
    for (size_t i = 0; i < letOn.size() && i < o.skipped.size(); ++i) letOn[i] = o.skipped[i];
    const int spam = site.filters.spamRating;
    d.unrated = spam >= 0 && static_cast<size_t>(spam) < letOn.size() && letOn[spam];
    d.verdict = MergeAnswers(o.answers, o.answered, site.onFailure, letOn);
    d.policy = ApplyPolicies(facts, site, letOn, d.verdict);
    PlanForgedFields(facts, d);
    return d;
}

void HoldNotTaken(Decision& d) {
    d.policy.hold = false;
    d.holdFailed = true;
    d.verdict.action = Action::Tempfail;
}

Counted Classify(const Decision& d) {
    using Rule = PolicyOutcome::Rule;
    const Verdict& v = d.verdict;
    if (d.shuttingDown) return Counted::kDeferredShutdown;
    if (d.holdFailed) return Counted::kDeferredHoldFailed;
    if (d.forgedFields)
        return v.action == Action::Reject ? Counted::kRefusedForFields
                                          : Counted::kDeferredForFields;
    if (d.policy.hold)
        return d.policy.rule == Rule::kVirusHold ? Counted::kHeldForVirus : Counted::kHeldForScore;
    if (d.policy.rule == Rule::kScoreRefusal) return Counted::kRefusedForScore;
    switch (v.action) {
        case Action::Reject:
            return v.failed ? Counted::kRefusedOnFailure : Counted::kRefusedByFilter;
        case Action::Discard:
            return Counted::kDiscardedByFilter;
        case Action::Tempfail:
            return Counted::kDeferredOnFailure;
        case Action::Accept:
            break;
    }
    return v.failed    ? Counted::kAcceptedOnFailure
           : d.unrated ? Counted::kAcceptedUnrated
                       : Counted::kAccepted;
}

std::string AnswersLogText(const std::vector<std::string>& names, const MessageFacts& facts,
                           const std::string& untrusted) {
    const Outcome& o = facts.outcome;
    std::string said;
    for (size_t i = 0; i < o.answers.size() && i < names.size(); ++i) {
        said += " " + names[i] + "=";
        if (o.skipped[i])
            said += "(not rated: " + untrusted + ")";
        else if (!o.asked[i])
            said += "(not asked)";
        else if (!o.answered[i])
            said += facts.waited == Message::Waited::kDecided ? "(pending)" : "(no answer)";
        else
            said += AnswerLogText(o.answers[i]);
    }
    return said;
}

}  // namespace milter
