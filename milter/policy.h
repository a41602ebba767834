// The site's policies on top of the filters' answers, and what they read:
// refuse or hold a message by the spam rating's score, hold infected mail
// instead of refusing it, and let trusted senders (an authenticated
// session, a listed client network) pass without the spam rating.  Every
// policy is off by default, and then the filters' answers decide alone.
// They are applied where the message is decided (decision.h).
//
// Pure: no I/O but the reading of Tarnwick-AS's settings file, no locks.
#ifndef TARNWICK_MILTER_POLICY_H
#define TARNWICK_MILTER_POLICY_H

#include <string>
#include <vector>

#include "milter/answer.h"

namespace milter {

// One client network, IPv4 or IPv6, in CIDR form.
struct Network {
    int family = 0;                // AF_INET or AF_INET6
    unsigned char bytes[16] = {};  // 4 used for AF_INET
    int prefix = 0;
    std::string text;  // as given, for the log
};

// "ADDRESS/PREFIX" or a bare address (every bit counts).  False with `why`
// for anything else: an address inet_pton does not take, a prefix that is
// not 0..32 (IPv4) or 0..128 (IPv6) in at most three digits, bits set
// beyond the prefix (a typo that would trust another network), or an
// IPv4-mapped IPv6 address (the IPv4 network is the one to give).
bool ParseNetwork(const std::string& text, Network& out, std::string& why);
// True when the client address (as the connect callback wrote it: dotted
// IPv4 or IPv6 text; an IPv4-mapped IPv6 address counts as IPv4) lies in
// the network.  False for an empty or unreadable address.
bool InNetwork(const std::string& address, const Network& network);

// Where Tarnwick-AS writes its 0-100 score: the first field of its Header
// setting whose value holds the score marker, and the text before it.
struct ScoreField {
    std::string name;    // lower case; empty when the settings give none
    std::string prefix;  // the value's text before the score
};
// From the Header setting in its quoted form.
ScoreField ScoreFieldOfHeader(const std::string& quoted);
// From the settings file of the filter program (empty when unreadable).
ScoreField ScoreFieldOf(const std::string& program);

// The score as one answer's header fields carry it.  A rated message's
// score is written right-aligned in three places ("  7", " 42", "100"); a
// whitelisted sender's is a bare "0", answered before any rating.
struct Score {
    enum class Kind { kNone, kRated, kWhitelisted } kind = Kind::kNone;
    int value = 0;
};
Score ReadScore(const std::vector<HeaderField>& fields, const ScoreField& where);

struct PolicySettings {
    int rejectScore = -1;       // --reject-score; -1: off
    int holdScore = -1;         // --hold-score; -1: off
    bool holdInfected = false;  // --on-virus hold
    // What a held infected message carries on its release when the filter
    // refused it (Mode Reject): the anti-virus filter's own field of its
    // Mode AddHeader (quoted form, ^1 for what was found), and the caption
    // its refusal text opens with (left out of the field).  In Mode AddHeader
    // the filter's answer carries that field itself.
    std::string virusField = "X-Virus-Found: ^1";
    std::string virusCaption;
    bool trustAuthenticated = false;
    std::vector<Network> trustedNetworks;

    bool ScoreLevels() const { return rejectScore >= 0 || holdScore >= 0; }
    bool HoldsMessages() const { return holdScore >= 0 || holdInfected; }
    // Why a message from this session is not rated ("" when it is).
    // authenticated: the {auth_authen} macro; address: the client's.
    std::string TrustReason(const std::string& authenticated, const std::string& address) const;
};

}  // namespace milter

#endif
