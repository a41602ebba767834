#include "milter/forged_fields.h"

#include "milter/fieldnames.h"

namespace milter {

namespace {

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

}  // namespace

void FieldCounts::Count(const std::string& name) {
    std::string key = Lower(name);
    auto counted = counts.find(key);
    if (counted != counts.end())
        ++counted->second;
    else if (known.count(key) || counts.size() < kMaxCountedNames)
        counts.emplace(std::move(key), 1);
    else
        uncounted = true;
}

Removal PlanRemoval(const FieldCounts& header, const std::set<std::string>& own,
                    const std::vector<HeaderField>& adding) {
    Removal plan;
    for (const HeaderField& h : adding) plan.adds.push_back(Lower(h.first));
    std::set<std::string> names = own;
    for (const std::string& name : plan.adds)
        if (!IsMessageField(name)) names.insert(name);
    for (const std::string& name : names) {
        auto counted = header.counts.find(name);
        if (counted != header.counts.end()) {
            plan.fields.emplace_back(name, counted->second);
            plan.count += counted->second;
        } else if (header.uncounted && !header.known.count(name) && plan.uncounted.empty()) {
            plan.uncounted = name;
        }
    }
    return plan;
}

}  // namespace milter
