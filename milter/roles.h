// Which job each filter does for the site's policies: the virus scan (its
// refusal can become a hold), the spam rating (its score meets the levels,
// a trusted sender skips it, its failure lets a message on by default) or
// neither.  Fixed once for each filter when the filters are set up, from
// the program it runs; everything after asks the role, never the name.
// Pure: no I/O.
#ifndef TARNWICK_MILTER_ROLES_H
#define TARNWICK_MILTER_ROLES_H

#include <string>
#include <vector>

namespace milter {

enum class FilterRole { kVirusScan, kSpamRating, kOther };

// By the program file's name (its basename): Tarnwick-AV scans for
// viruses, Tarnwick-AS rates spam.
FilterRole RoleOfProgram(const std::string& program);

// The filters the site's policies read: the first of each role, in
// --filter order; -1 where none runs.
struct PolicyFilters {
    int virusScan = -1;
    int spamRating = -1;
};
PolicyFilters PolicyFiltersOf(const std::vector<FilterRole>& roles);

}  // namespace milter

#endif
