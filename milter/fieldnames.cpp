#include "milter/fieldnames.h"

#include <cstring>

namespace milter {

bool IsMessageField(const std::string& name) {
    static const char* const kFields[] = {"date",
                                          "from",
                                          "sender",
                                          "reply-to",
                                          "to",
                                          "cc",
                                          "bcc",
                                          "message-id",
                                          "in-reply-to",
                                          "references",
                                          "subject",
                                          "comments",
                                          "keywords",
                                          "return-path",
                                          "received",
                                          "mime-version",
                                          "dkim-signature",
                                          "domainkey-signature",
                                          "authentication-results",
                                          "received-spf",
                                          "precedence",
                                          "auto-submitted",
                                          "delivered-to"};
    static const char* const kPrefixes[] = {"resent-", "content-", "arc-", "list-"};
    for (const char* f : kFields)
        if (name == f) return true;
    for (const char* p : kPrefixes)
        if (name.compare(0, strlen(p), p) == 0) return true;
    return false;
}

size_t FieldNames::CountLocked() const {
    size_t n = byAnswers_.size();
    for (const auto& entry : bySettings_) n += entry.second.size();
    return n;
}

std::vector<std::string> FieldNames::FromSettings(size_t filter,
                                                  const std::vector<std::string>& names) {
    std::vector<std::string> refused;
    std::set<std::string> taken;
    for (const std::string& n : names) {
        if (IsMessageField(n))
            refused.push_back(n);
        else
            taken.insert(n);
    }
    twLock lock(mu_);
    std::set<std::string>& mine = bySettings_[filter];
    if (mine != taken) {
        mine.clear();
        byAnswers_.clear();
        for (const std::string& n : taken)
            if (CountLocked() < kMaxNames) mine.insert(n);
    }
    return refused;
}

void FieldNames::Learn(const std::vector<std::string>& names) {
    twLock lock(mu_);
    for (const std::string& n : names) {
        if (IsMessageField(n) || CountLocked() >= kMaxNames) continue;
        bool fromSettings = false;
        for (const auto& entry : bySettings_) fromSettings = fromSettings || entry.second.count(n);
        if (!fromSettings) byAnswers_.insert(n);
    }
}

std::set<std::string> FieldNames::Get() const {
    twLock lock(mu_);
    std::set<std::string> all = byAnswers_;
    for (const auto& entry : bySettings_) all.insert(entry.second.begin(), entry.second.end());
    return all;
}

}  // namespace milter
