// Incoming header fields named like the filters' own: counted by name as
// the MTA hands the header over, and planned for removal at the end of the
// message, before the filters' fields are added.  The filters' fields are
// theirs alone: every incoming field of a name a filter adds now, has
// added, or can add by its settings goes (fieldnames.h keeps those names).
// Pure: no I/O, no locks.
//
// The header comes from the SMTP client: the names counted and the
// removals asked of the MTA are bounded.
#ifndef TARNWICK_MILTER_FORGED_FIELDS_H
#define TARNWICK_MILTER_FORGED_FIELDS_H

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "milter/answer.h"

namespace milter {

// The names the filters are known to add when the message begins are
// always counted, whatever else the header holds; of the others (a name a
// filter adds for the first time with this message's answer) at most
// kMaxCountedNames.
constexpr size_t kMaxCountedNames = 1000;
// More removals than this cost the MTA time that grows with their square
// (Postfix rewrites its queue file for each): such a message is refused.
constexpr int kMaxRemovals = 100;

// One message's header fields counted by name (lower case), so that the
// occurrences of a filter's field can be removed by index at the end.
struct FieldCounts {
    std::set<std::string> known;  // the filters' field names when the message began
    std::map<std::string, int> counts;
    bool uncounted = false;  // more names than kMaxCountedNames

    void Count(const std::string& name);
};

// The removals for one message let on.
struct Removal {
    std::vector<std::pair<std::string, int>> fields;  // lower-case name and how many
    int count = 0;
    std::string uncounted;          // a name that may be in the header uncounted
    std::vector<std::string> adds;  // the names (lower case) the answers add
};

// own: the names the filters add, as FieldNames gives them; adding: the
// fields the answers add to this message, whose names go too (but for a
// field that belongs to the message).
Removal PlanRemoval(const FieldCounts& header, const std::set<std::string>& own,
                    const std::vector<HeaderField>& adding);

}  // namespace milter

#endif
