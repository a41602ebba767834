// sim-spam-engine: a stand-in for the anti-spam engine daemon.  Rates the
// message text of each GET_SPAM_REPORT_REQUEST and answers with a score.
//
// Score: ordinary text gets -500; each of a few spam words found (any case)
// adds 400.  Marker lines in the message choose other outcomes:
//   X-Sim-Score: N          exactly this score
//   X-Sim-Error: EC_NAME    an error reply (serial and error, no report)
//   X-Sim-Fixed: OUTCOME    as --fixed, for this message
//   X-Sim-Spam-Fixed: OUTCOME  the same, read by this engine only (a message
//                           that both engines see can fail in one of them)
//   X-Sim-Delay-Ms: N       this answer waits N ms longer
#include <cstdio>
#include <cstring>
#include <string>

#include "common/base/text.h"
#include "quillon_ase_api.pb.h"
#include "sim/simcore.h"

namespace {

constexpr const char* engineName = "sim-spam-engine";
constexpr int64_t ordinaryScore = -500;
constexpr int64_t spamWordScore = 400;
constexpr int64_t spamStateFrom = 100;
const char* const spamWords[] = {"viagra", "lottery", "casino", "crypto-prize"};

bool ContainsNoCase(const std::string& text, const char* word) {
    const size_t n = strlen(word);
    if (n == 0 || text.size() < n) return false;
    for (size_t i = 0; i + n <= text.size(); ++i)
        if (strncasecmp(text.data() + i, word, n) == 0) return true;
    return false;
}

ql::ErrorCode CodeByName(const std::string& name) {
    ql::ErrorCode code = ql::EC_UNEXPECTED_ERROR;
    if (!ql::ErrorCode_Parse(name, &code))
        fprintf(stderr, "%s: unknown error code '%s', using EC_UNEXPECTED_ERROR\n", engineName,
                name.c_str());
    return code;
}

void SetScore(ql::ServerMessage& message, int64_t score, const std::string& details) {
    ql::SpamReport* report = message.mutable_spam_report();
    report->mutable_score()->set_state(score >= spamStateFrom ? ql::VR_SPAM : ql::VR_LEGIT);
    report->mutable_score()->set_score(score);
    report->set_details(details);
}

void SetError(ql::ServerMessage& message, const std::string& name) {
    message.clear_spam_report();
    message.mutable_error()->set_code(CodeByName(name));
    message.mutable_error()->set_what("simulated engine error");
}

// Applies a fixed outcome; false when the text names none.
bool ApplyFixed(const std::string& fixed, ql::ServerMessage& message, bool& answer) {
    long long n = 0;
    if (fixed == "clean") {
        SetScore(message, ordinaryScore, "sim: fixed clean");
    } else if (fixed == "spam") {
        SetScore(message, 400, "sim: fixed spam");
    } else if (fixed.compare(0, 6, "score:") == 0 && sim::ParseInt(fixed.substr(6), n)) {
        SetScore(message, n, "sim: fixed score");
    } else if (fixed.compare(0, 6, "error:") == 0 && fixed.size() > 6) {
        SetError(message, fixed.substr(6));
    } else if (fixed == "noreport") {
        message.clear_spam_report();
    } else if (fixed == "none") {
        answer = false;
    } else {
        return false;
    }
    return true;
}

sim::reply HandleRating(const sim::options& opt, const ql::ClientMessage& request) {
    sim::reply out;
    out.isRequest = true;
    const std::string& text = request.message();
    out.logLine = "SPAM serial=" +
                  (request.has_serial() ? std::to_string(request.serial()) : std::string("-")) +
                  " len=" + std::to_string(text.size()) + " head=" + EscapeControl(text, 48);

    ql::ServerMessage message;
    message.set_tag(ql::ServerMessage::GET_SPAM_REPORT_RESPONSE);
    if (request.has_serial()) message.set_serial(request.serial());

    bool answer = true;
    std::string fixed = opt.fixed;
    std::string value;
    long long n = 0;
    if (fixed.empty() && (sim::MarkerValue(text, "X-Sim-Spam-Fixed", value) ||
                          sim::MarkerValue(text, "X-Sim-Fixed", value)))
        fixed = value;

    if (!fixed.empty()) {
        if (!ApplyFixed(fixed, message, answer))
            fprintf(stderr, "%s: unknown fixed outcome '%s'\n", engineName, fixed.c_str());
    } else if (sim::MarkerValue(text, "X-Sim-Error", value)) {
        SetError(message, value);
    } else if (sim::MarkerValue(text, "X-Sim-Score", value) && sim::ParseInt(value, n)) {
        SetScore(message, n, "sim: marker score");
    } else {
        int64_t score = ordinaryScore;
        std::string found;
        for (const char* word : spamWords) {
            if (!ContainsNoCase(text, word)) continue;
            score += spamWordScore;
            found += found.empty() ? word : std::string(",") + word;
        }
        SetScore(message, score, found.empty() ? "sim: ordinary text" : "sim: words " + found);
    }

    if (sim::MarkerValue(text, "X-Sim-Delay-Ms", value) && sim::ParseInt(value, n) && n > 0)
        out.extraDelayMs = static_cast<int>(std::min<long long>(n, 3600000));
    if (answer) out.frames.push_back(message.SerializeAsString());
    return out;
}

sim::reply Handle(const sim::options& opt, const std::string& body) {
    ql::ClientMessage request;
    if (request.ParseFromString(body) &&
        request.tag() == ql::ClientMessage::GET_SPAM_REPORT_REQUEST)
        return HandleRating(opt, request);
    sim::reply out;
    out.logLine =
        "UNKNOWN frame of " + std::to_string(body.size()) + " bytes: " + EscapeControl(body, 32);
    return out;
}

void Usage() {
    fprintf(stderr,
            "usage: %s SOCKET [options]\n"
            "  --fixed OUTCOME       clean | spam | score:N | error:EC_NAME | noreport | none\n"
            "%s",
            engineName, sim::CommonUsage());
}

}  // namespace

int main(int argc, char** argv) {
    GOOGLE_PROTOBUF_VERIFY_VERSION;
    sim::options opt;
    auto ownOption = [](int, char**, int&) { return false; };
    auto fixedValid = [](const std::string& fixed) {
        bool unused = true;
        ql::ServerMessage probe;
        return ApplyFixed(fixed, probe, unused);
    };
    bool serve = false;
    int status =
        sim::ParseCommandLine(argc, argv, engineName, Usage, opt, ownOption, fixedValid, serve);
    if (!serve) return status;
    sim::Serve(engineName, opt, [&opt](const std::string& body) { return Handle(opt, body); });
}
