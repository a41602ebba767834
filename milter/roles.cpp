#include "milter/roles.h"

namespace milter {

FilterRole RoleOfProgram(const std::string& program) {
    const std::string name = program.substr(program.rfind('/') + 1);
    if (name == "Tarnwick-AV") return FilterRole::kVirusScan;
    if (name == "Tarnwick-AS") return FilterRole::kSpamRating;
    return FilterRole::kOther;
}

PolicyFilters PolicyFiltersOf(const std::vector<FilterRole>& roles) {
    PolicyFilters p;
    for (size_t i = 0; i < roles.size(); ++i) {
        const int index = static_cast<int>(i);
        if (roles[i] == FilterRole::kVirusScan && p.virusScan < 0) p.virusScan = index;
        if (roles[i] == FilterRole::kSpamRating && p.spamRating < 0) p.spamRating = index;
    }
    return p;
}

}  // namespace milter
