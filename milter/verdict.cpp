#include "milter/verdict.h"

namespace milter {

Verdict MergeAnswers(const std::vector<Answer>& answers, const std::vector<bool>& answered,
                     const std::vector<OnFailure>& onFailure, const std::vector<bool>& letOn) {
    Verdict v;
    const Answer* reject = nullptr;
    bool discard = false;
    OnFailure failure = OnFailure::Accept;  // the strictest policy of a failed filter
    auto failed = [&](size_t i) {
        v.failed = true;
        OnFailure p = i < onFailure.size() ? onFailure[i] : OnFailure::Tempfail;
        if (p == OnFailure::Reject || (p == OnFailure::Tempfail && failure == OnFailure::Accept))
            failure = p;
    };
    for (size_t i = 0; i < answers.size(); ++i) {
        if (i < letOn.size() && letOn[i]) continue;
        if (i >= answered.size() || !answered[i]) {
            failed(i);
            continue;
        }
        const Answer& a = answers[i];
        switch (a.kind) {
            case AnswerKind::Error:
                if (!reject) reject = &a;
                break;
            case AnswerKind::Discard:
                discard = true;
                break;
            case AnswerKind::AddHeader: {
                int skipped = 0;
                for (auto& f : HeaderFields(a.text, skipped)) v.headers.push_back(std::move(f));
                v.skippedHeaders += skipped;
                break;
            }
            case AnswerKind::Ok:
                break;
            default:
                failed(i);
                break;
        }
    }
    if (reject) {
        v.action = Action::Reject;
        v.reply = ReplyLines(reject->text, "Message refused by content filter");
        v.headers.clear();
        v.failed = false;  // a refusal decided, whatever the others did
    } else if (discard) {
        v.action = Action::Discard;
        v.headers.clear();
        v.failed = false;
    } else if (v.failed && failure != OnFailure::Accept) {
        v.action = failure == OnFailure::Reject ? Action::Reject : Action::Tempfail;
        v.reply.assign(1, failure == OnFailure::Reject
                              ? "Message could not be checked"
                              : "Message could not be checked, try again later");
        v.headers.clear();
    }
    return v;
}

namespace {

bool PolicyWord(const std::string& word, OnFailure& out) {
    static const std::pair<const char*, OnFailure> kWords[] = {{"tempfail", OnFailure::Tempfail},
                                                               {"accept", OnFailure::Accept},
                                                               {"reject", OnFailure::Reject}};
    for (const auto& w : kWords)
        if (word == w.first) {
            out = w.second;
            return true;
        }
    return false;
}

}  // namespace

bool FailurePolicy::Add(const std::string& text, std::string& error) {
    size_t eq = text.rfind('=');
    std::string name = eq == std::string::npos ? std::string() : text.substr(0, eq);
    OnFailure p;
    if (!PolicyWord(eq == std::string::npos ? text : text.substr(eq + 1), p)) {
        error = "wants tempfail, accept or reject, or PROGRAM= before one";
        return false;
    }
    if (eq == std::string::npos) {
        allSet_ = true;
        all_ = p;
        return true;
    }
    if (name.empty() || name.size() > 255 || name.find('/') != std::string::npos || name == "." ||
        name == "..") {
        error = "wants a filter's program name (without its directory) before =";
        return false;
    }
    for (auto& entry : byFilter_)
        if (entry.first == name) {
            entry.second = p;
            return true;
        }
    byFilter_.emplace_back(name, p);
    return true;
}

OnFailure FailurePolicy::For(const std::string& program, FilterRole role) const {
    for (const auto& entry : byFilter_)
        if (entry.first == program) return entry.second;
    if (allSet_) return all_;
    return role == FilterRole::kSpamRating ? OnFailure::Accept : OnFailure::Tempfail;
}

std::vector<std::string> FailurePolicy::Named() const {
    std::vector<std::string> out;
    for (const auto& entry : byFilter_) out.push_back(entry.first);
    return out;
}

const char* OnFailureName(OnFailure policy) {
    switch (policy) {
        case OnFailure::Accept:
            return "accept";
        case OnFailure::Reject:
            return "reject";
        default:
            return "tempfail";
    }
}

const char* ActionName(Action action) {
    switch (action) {
        case Action::Accept:
            return "accept";
        case Action::Reject:
            return "reject";
        case Action::Discard:
            return "discard";
        default:
            return "tempfail";
    }
}

}  // namespace milter
