// The one place a message is decided: from the answers that came, the
// filters' roles and the site's policies to what the MTA is told, what is
// held, which incoming fields go and how the figures count it.  The
// session callbacks (callbacks.cpp) gather the facts, call DecideMessage
// once and carry the decision out; nothing makes up an answer to steer
// it.  Pure: no I/O, no locks.
//
// In order: the answers merged (verdict.h), a filter skipped for a trusted
// sender counting as having let the message on; the site's policies
// (policy.h) on the merge: a refusal by the virus scan held instead (the
// message then stands on the other filters' answers, those not asked or
// not waited for sparing it), a virus scan's field of its Mode AddHeader
// held, a spam rating at a level refused or held; then the incoming fields
// named like the filters' own planned for removal, and a message with too
// many of them deferred or refused.  The host shutting down decides alone.
#ifndef TARNWICK_MILTER_DECISION_H
#define TARNWICK_MILTER_DECISION_H

#include <set>
#include <string>
#include <vector>

#include "milter/figures.h"
#include "milter/forged_fields.h"
#include "milter/message.h"
#include "milter/policy.h"
#include "milter/roles.h"
#include "milter/verdict.h"

namespace milter {

// What came for one message.
struct MessageFacts {
    Outcome outcome;  // outcome.skipped: not asked on purpose (a trusted sender not rated)
    Message::Waited waited = Message::Waited::kDecided;
    bool canHold = false;   // the MTA takes holds; without, the policies hold nothing
    ScoreField scoreField;  // where the spam rating writes its score
    // The incoming header's names, when forged fields are removed (the
    // MTA allows it and the site wants it); null: none is.
    const FieldCounts* header = nullptr;
    std::set<std::string> ownFields;  // the names the filters add (FieldNames)
};

// The site's side, fixed when the host starts.
struct SitePolicy {
    PolicySettings settings;
    std::vector<OnFailure> onFailure;  // one per filter, in --filter order
    PolicyFilters filters;             // which filters the policies read
};

// What a policy made of the answers.
struct PolicyOutcome {
    enum class Rule { kNone, kVirusHold, kScoreHold, kScoreRefusal } rule = Rule::kNone;
    bool hold = false;
    std::string holdReason;  // for the MTA's hold queue
    std::string note;        // for the log line ("" when no policy acted)
};

struct Decision {
    Verdict verdict;  // what the MTA is told; with hold, the message goes to its hold queue
    PolicyOutcome policy;
    bool shuttingDown = false;  // the host stopped while waiting
    bool unrated = false;       // the spam rating skipped for a trusted sender
    // The forged fields decided: too many to remove (refused), or a name
    // that could not be counted (deferred).
    bool forgedFields = false;
    bool holdFailed = false;  // the MTA did not take the hold (HoldNotTaken)
    Removal removal;          // the incoming fields to remove before adding the verdict's
};

Decision DecideMessage(const MessageFacts& facts, const SitePolicy& site);

// The MTA did not take the hold: the message is deferred.
void HoldNotTaken(Decision& d);

// What the figures count the message as.
Counted Classify(const Decision& d);

// Each filter's answer for the log line (" NAME=ANSWER" per filter);
// untrusted: why a skipped filter was not asked.
std::string AnswersLogText(const std::vector<std::string>& names, const MessageFacts& facts,
                           const std::string& untrusted);

}  // namespace milter

#endif
