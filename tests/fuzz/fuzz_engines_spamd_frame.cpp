// Fuzz target: what quillon-spamd makes of a frame body from a client and
// of spamd's answer to it: the body read as a rating request
// (ReadRatingRequest) and, once spamd has spoken, the reply frame
// (BuildRatingReply).  spamd is played by the input.
//
// Input: one byte of choices (bits 0-2: how the exchange with spamd ended,
// 0 to 3 with the reply below, 4 unreachable, 5 broken, 6 timed out, 7
// refused), two bytes of the --max-size cut, two bytes of body length, the
// frame body, then the bytes spamd sent.
//
// Properties: a body is refused exactly when it is no request; an accepted
// one keeps its serial and its message cut at the limit; every reply is a
// complete GET_SPAM_REPORT_RESPONSE that survives the wire, with the
// request's serial and either the error of the failure or a report whose
// state is spamd's verdict, whose score lies on the engine scale, rises
// with SpamAssassin's score and puts spamd's threshold at 100, and whose
// details carry both numbers and the rule names whole.
#include <google/protobuf/stubs/logging.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <string>

#include "engines/rating/rating.h"
#include "engines/spamd/spamd_client.h"
#include "fuzz_common.h"
#include "quillon_ase_api.pb.h"
#include "quillon_error.pb.h"

namespace {

using engined::ExchangeFailure;

std::string Number(double value) {
    char text[400];  // room for any finite double printed with %.1f
    snprintf(text, sizeof text, "%.1f", value);
    return text;
}

engined::RatingOutcome Outcome(uint8_t kind, const std::string& reply) {
    engined::RatingOutcome outcome;
    static const ExchangeFailure failures[] = {ExchangeFailure::kUnreachable,
                                               ExchangeFailure::kNetwork, ExchangeFailure::kTimeout,
                                               ExchangeFailure::kProtocol};
    if (kind >= 4) {
        outcome.failure = failures[kind - 4];
        outcome.what = "spamd said " + reply.substr(0, 40);
        return outcome;
    }
    std::string problem;
    if (engined::ParseSpamdReply(reply, true, outcome.verdict, problem) !=
        engined::ReplyStatus::kComplete) {
        outcome.failure = ExchangeFailure::kProtocol;
        outcome.what = problem;
    }
    return outcome;
}

// The error each way of failing gives, by the names engines/README.md
// lists under "Errors": every spamd away, a broken connection, no answer
// within --timeout, a refusal or an unreadable answer.  Compared by name,
// so that a code renumbered or swapped in the schema is caught too.
struct documentedError {
    ExchangeFailure failure;
    const char* name;
};
constexpr documentedError documentedErrors[] = {
    {ExchangeFailure::kUnreachable, "EC_NOT_READY"},
    {ExchangeFailure::kNetwork, "EC_NETWORK_ERROR"},
    {ExchangeFailure::kTimeout, "EC_NETWORK_TIMEDOUT"},
    {ExchangeFailure::kProtocol, "EC_PROTOCOL_VIOLATION"},
};

std::string DocumentedName(ExchangeFailure failure) {
    for (const documentedError& row : documentedErrors)
        if (row.failure == failure) return row.name;
    return "(undocumented failure)";
}

void CheckScale(const engined::RatingVerdict& verdict, int64_t engineScore) {
    FUZZ_CHECK(engineScore >= -1000 && engineScore <= 1000, "engine score %lld",
               static_cast<long long>(engineScore));
    // More spam never rates lower.
    const double more = verdict.score + std::fabs(verdict.score) * 1e-3 + 0.05;
    FUZZ_CHECK(engined::EngineScore(more, verdict.threshold) >= engineScore,
               "%g rates below %g (threshold %g)", more, verdict.score, verdict.threshold);
    // spamd's own threshold is the filter's 90 (engine score 100), even
    // where a threshold of 0 or below borrows the default unit.
    FUZZ_CHECK(engined::EngineScore(verdict.threshold, verdict.threshold) == 100,
               "threshold %g not at 100", verdict.threshold);
    if (verdict.score >= verdict.threshold)
        FUZZ_CHECK(engineScore >= 100, "spam below the threshold mark");
    if (verdict.score < verdict.threshold)
        FUZZ_CHECK(engineScore <= 100, "ham above the threshold mark");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The library logs every string field with bytes that are not UTF-8.
    google::protobuf::SetLogHandler(nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::reader in(data, size);
    const uint8_t choices = in.Byte();
    const size_t maxSize = in.Short();
    const std::string body = in.Bytes(in.Short());
    const std::string spamdReply = in.Rest();

    ql::ClientMessage request;
    const bool accepted = engined::ReadRatingRequest(body, maxSize, request);
    ql::ClientMessage plain;
    FUZZ_CHECK(
        accepted == plain.ParseFromString(body), "body of %zu bytes %s", body.size(),
        accepted ? "accepted although it is no request" : "refused although it is a request");
    if (!accepted) return 0;
    FUZZ_CHECK(request.has_serial() == plain.has_serial() && request.serial() == plain.serial(),
               "serial changed");
    FUZZ_CHECK(request.message() == plain.message().substr(0, maxSize),
               "message not cut at %zu bytes", maxSize);

    const engined::RatingOutcome outcome = Outcome(choices & 7, spamdReply);
    ql::ServerMessage reply;
    engined::BuildRatingReply(request, outcome, reply);

    FUZZ_CHECK(reply.IsInitialized(), "reply lacks %s", reply.InitializationErrorString().c_str());
    FUZZ_CHECK(reply.tag() == ql::ServerMessage::GET_SPAM_REPORT_RESPONSE, "tag %d", reply.tag());
    FUZZ_CHECK(reply.has_serial() == request.has_serial() && reply.serial() == request.serial(),
               "serial %u for %u", reply.serial(), request.serial());
    FUZZ_CHECK(reply.has_error() != reply.has_spam_report(), "report and error: %d %d",
               reply.has_spam_report(), reply.has_error());
    if (outcome.failure != ExchangeFailure::kNone) {
        const std::string expected = DocumentedName(outcome.failure);
        FUZZ_CHECK(reply.has_error() && ql::ErrorCode_Name(reply.error().code()) == expected &&
                       reply.error().what() == outcome.what,
                   "error record %d '%s' for '%s', expected %s", reply.error().code(),
                   reply.error().what().c_str(), outcome.what.c_str(), expected.c_str());
    } else {
        const engined::RatingVerdict& verdict = outcome.verdict;
        const ql::SpamReport& report = reply.spam_report();
        FUZZ_CHECK(report.score().state() == (verdict.spam ? ql::VR_SPAM : ql::VR_LEGIT),
                   "state %d", report.score().state());
        CheckScale(verdict, report.score().score());
        const std::string details = "score=" + Number(verdict.score) +
                                    " required=" + Number(verdict.threshold) +
                                    " tests=" + verdict.rules;
        FUZZ_CHECK(report.details() == details, "details '%s', expected '%s'",
                   report.details().c_str(), details.c_str());
    }

    // What the filter receives is what was built.
    std::string wire;
    FUZZ_CHECK(reply.SerializeToString(&wire), "reply does not serialise");
    ql::ServerMessage received;
    FUZZ_CHECK(received.ParseFromString(wire) && received.SerializeAsString() == wire,
               "reply does not read back");
    return 0;
}
