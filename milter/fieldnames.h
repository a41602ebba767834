// Names (lower case) of the header fields the filters add, from their
// settings and their answers: incoming fields of these names are forged
// and removed before the filters' own are added.  A bounded set, since
// answers come from processes that read hostile mail.
//
// Locks: mu_ guards the names; nothing else is taken while it is held.
#ifndef TARNWICK_MILTER_FIELDNAMES_H
#define TARNWICK_MILTER_FIELDNAMES_H

#include <set>
#include <string>
#include <vector>

#include "common/base/threads.h"

namespace milter {

class FieldNames {
  public:
    static constexpr size_t kMaxNames = 64;
    void Learn(const std::vector<std::string>& names) EXCLUDES(mu_);
    std::set<std::string> Get() const EXCLUDES(mu_);

  private:
    mutable twMutex mu_;
    std::set<std::string> names_ GUARDED_BY(mu_);
};

}  // namespace milter

#endif
