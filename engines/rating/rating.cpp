// Rating requests and replies of the anti-spam daemons.  See rating.h for the
// contract.
#include "engines/rating/rating.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "quillon_error.pb.h"

namespace engined {

namespace {

ql::ErrorCode ErrorCodeOf(ExchangeFailure failure) {
    switch (failure) {
        case ExchangeFailure::kUnreachable:
            return ql::EC_NOT_READY;
        case ExchangeFailure::kTimeout:
            return ql::EC_NETWORK_TIMEDOUT;
        case ExchangeFailure::kProtocol:
            return ql::EC_PROTOCOL_VIOLATION;
        default:
            return ql::EC_NETWORK_ERROR;
    }
}

// spamd prints its numbers with one decimal, rspamd with two; the parsers take any finite
// number, and a large one has up to 309 digits before the point.  A fixed
// short buffer would cut it and glue the rule names onto the digits.
std::string WithDecimals(double value, int decimals) {
    char text[330];
    snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

}  // namespace

int64_t VerdictScore(const RatingVerdict& verdict) {
    const int64_t scaled = EngineScore(verdict.score, verdict.threshold);
    // SpamAssassin's verdict is its score against its threshold.
    if (verdict.action.empty()) return scaled;
    if (!verdict.spam) return std::min(scaled, thresholdEngineScore - 1);
    // Refused without a rating (GTUBE, a forced action) or below the
    // threshold (a rule or the site's settings forced it): as sure as
    // SpamAssassin's GTUBE score, at the top of the scale.
    if (verdict.forced || !(verdict.score >= verdict.threshold)) return 1000;
    return std::max(scaled, thresholdEngineScore);
}

bool ReadRatingRequest(const std::string& body, size_t maxSize, ql::ClientMessage& request) {
    if (!request.ParseFromString(body)) return false;
    if (request.message().size() > maxSize) request.mutable_message()->resize(maxSize);
    return true;
}

void BuildRatingReply(const ql::ClientMessage& request, const RatingOutcome& outcome,
                      ql::ServerMessage& reply, int decimals) {
    reply.Clear();
    reply.set_tag(ql::ServerMessage::GET_SPAM_REPORT_RESPONSE);
    if (request.has_serial()) reply.set_serial(request.serial());
    if (outcome.failure != ExchangeFailure::kNone) {
        ql::Error* error = reply.mutable_error();
        error->set_code(ErrorCodeOf(outcome.failure));
        error->set_what(outcome.what);
        return;
    }
    const RatingVerdict& verdict = outcome.verdict;
    ql::SpamReport* report = reply.mutable_spam_report();
    report->mutable_score()->set_state(verdict.spam ? ql::VR_SPAM : ql::VR_LEGIT);
    report->mutable_score()->set_score(VerdictScore(verdict));
    report->set_details("score=" + WithDecimals(verdict.score, decimals) + " required=" +
                        WithDecimals(verdict.threshold, decimals) + " tests=" + verdict.rules);
}

}  // namespace engined
