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

// spamd prints its numbers with one decimal; the parser takes any finite
// number, and a large one has up to 309 digits before the point.  A fixed
// short buffer would cut it and glue the rule names onto the digits.
std::string OneDecimal(double value) {
    char text[320];
    snprintf(text, sizeof text, "%.1f", value);
    return text;
}

}  // namespace

// With r = x / t:
//
//   r <= -1      -> -1000             (filter shows 0)
//   -1 .. 0      -> -1000 .. -650     (0 .. 28)
//    0 .. 1      ->  -650 ..  100     (28 .. 90: the threshold lands on 90)
//    1 .. 2      ->   100 ..  300     (90 .. 100)
//   r >  2       ->   300 + 100 per t, at most 1000 (100: GTUBE scores 1000)
//
// A threshold of 0 or below has no scale of its own; 5, SpamAssassin's
// default, serves as the unit then and r = 1 + (x - t) / 5.
int64_t EngineScore(double score, double threshold) {
    const double unit = threshold > 0 ? threshold : 5.0;
    const double r = 1.0 + (score - threshold) / unit;
    double mapped;
    if (r <= -1) {
        mapped = -1000;
    } else if (r <= 0) {
        mapped = -650 - 350 * -r;
    } else if (r <= 1) {
        mapped = -650 + 750 * r;
    } else if (r <= 2) {
        mapped = 100 + 200 * (r - 1);
    } else {
        mapped = std::min(1000.0, 300 + 100 * (r - 2));
    }
    return static_cast<int64_t>(std::lround(mapped));
}

bool ReadRatingRequest(const std::string& body, size_t maxSize, ql::ClientMessage& request) {
    if (!request.ParseFromString(body)) return false;
    if (request.message().size() > maxSize) request.mutable_message()->resize(maxSize);
    return true;
}

void BuildRatingReply(const ql::ClientMessage& request, const SpamdOutcome& outcome,
                      ql::ServerMessage& reply) {
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
    report->mutable_score()->set_score(EngineScore(verdict.score, verdict.threshold));
    report->set_details("score=" + OneDecimal(verdict.score) +
                        " required=" + OneDecimal(verdict.threshold) + " tests=" + verdict.rules);
}

}  // namespace engined
