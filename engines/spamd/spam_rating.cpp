// Rating requests and replies of quillon-spamd.  See spam_rating.h for the
// contract.
#include "engines/spamd/spam_rating.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "quillon_error.pb.h"

namespace engined {

namespace {

ql::ErrorCode ErrorCodeOf(SpamdFailure failure) {
    switch (failure) {
        case SpamdFailure::kUnreachable:
            return ql::EC_NOT_READY;
        case SpamdFailure::kTimeout:
            return ql::EC_NETWORK_TIMEDOUT;
        case SpamdFailure::kProtocol:
            return ql::EC_PROTOCOL_VIOLATION;
        default:
            return ql::EC_NETWORK_ERROR;
    }
}

// spamd prints its numbers with one decimal, rspamd with two; the parsers takes any finite
// number, and a large one has up to 309 digits before the point.  A fixed
// short buffer would cut it and glue the rule names onto the digits.
std::string WithDecimals(double value, int decimals) {
    char text[330];
    snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

}  // namespace

bool ReadRatingRequest(const std::string& body, size_t maxSize, ql::ClientMessage& request) {
    if (!request.ParseFromString(body)) return false;
    if (request.message().size() > maxSize) request.mutable_message()->resize(maxSize);
    return true;
}

void BuildRatingReply(const ql::ClientMessage& request, const SpamdOutcome& outcome,
                      ql::ServerMessage& reply, int decimals) {
    reply.Clear();
    reply.set_tag(ql::ServerMessage::GET_SPAM_REPORT_RESPONSE);
    if (request.has_serial()) reply.set_serial(request.serial());
    if (outcome.failure != SpamdFailure::kNone) {
        ql::Error* error = reply.mutable_error();
        error->set_code(ErrorCodeOf(outcome.failure));
        error->set_what(outcome.what);
        return;
    }
    const SpamdVerdict& verdict = outcome.verdict;
    ql::SpamReport* report = reply.mutable_spam_report();
    report->mutable_score()->set_state(verdict.spam ? ql::VR_SPAM : ql::VR_LEGIT);
    // A message the engine called spam without rating it stands at the top
    // of the scale, where SpamAssassin's GTUBE score puts it.
    report->mutable_score()->set_score(verdict.forced && verdict.spam
                                           ? 1000
                                           : EngineScore(verdict.score, verdict.threshold));
    report->set_details("score=" + WithDecimals(verdict.score, decimals) +
                        " required=" + WithDecimals(verdict.threshold, decimals) +
                        " tests=" + verdict.rules);
}

}  // namespace engined
