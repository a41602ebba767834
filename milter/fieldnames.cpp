#include "milter/fieldnames.h"

namespace milter {

void FieldNames::Learn(const std::vector<std::string>& names) {
    twLock lock(mu_);
    for (const std::string& n : names)
        if (names_.size() < kMaxNames) names_.insert(n);
}

std::set<std::string> FieldNames::Get() const {
    twLock lock(mu_);
    return names_;
}

}  // namespace milter
