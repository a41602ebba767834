// Names (lower case) of the header fields the filters add, from their
// settings and their answers: incoming fields of these names are forged
// and removed before the filters' own are added.
//
// A name of a field that belongs to the message (its originator, its
// addressees, its subject and dates, its identification, the trace and
// Resent- fields, MIME-Version and Content-*, signatures) is never taken:
// a filter set up to add one must not strip the message's own.  Names a
// filter's settings no longer give are forgotten when its settings are read
// again, and with them every name learnt from answers (the answers teach
// them again); a settings file that is not good is not read at all, so the
// names of the last good one stay.  A bounded set, since answers come from
// processes that read hostile mail.
//
// Locks: mu_ guards the names; nothing else is taken while it is held.
#ifndef TARNWICK_MILTER_FIELDNAMES_H
#define TARNWICK_MILTER_FIELDNAMES_H

#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/base/threads.h"

namespace milter {

// True for the lower-case name of a field that belongs to the message.
bool IsMessageField(const std::string& name);

class FieldNames {
  public:
    static constexpr size_t kMaxNames = 64;
    // The names filter's settings give now; returns those refused as the
    // message's own.
    std::vector<std::string> FromSettings(size_t filter, const std::vector<std::string>& names)
        EXCLUDES(mu_);
    // Names an answer added.
    void Learn(const std::vector<std::string>& names) EXCLUDES(mu_);
    std::set<std::string> Get() const EXCLUDES(mu_);

  private:
    size_t CountLocked() const REQUIRES(mu_);

    mutable twMutex mu_;
    std::map<size_t, std::set<std::string>> bySettings_ GUARDED_BY(mu_);
    std::set<std::string> byAnswers_ GUARDED_BY(mu_);
};

}  // namespace milter

#endif
