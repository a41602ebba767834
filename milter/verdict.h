// The merge of the filters' answers into a verdict, and the failure
// policy (--on-failure) that decides for a filter that failed or said
// nothing.  The site's policies on top, and so the whole decision on a
// message, are decision.h's.  Pure: no I/O, no locks.
#ifndef TARNWICK_MILTER_VERDICT_H
#define TARNWICK_MILTER_VERDICT_H

#include <string>
#include <utility>
#include <vector>

#include "milter/answer.h"
#include "milter/roles.h"

namespace milter {

// The filters' answers merged (answered[i] false: no answer in time, or
// not asked; letOn[i] true: the filter's slot lets the message on whatever
// it holds, for a filter skipped or spared on purpose).  A reject
// (ERROR) wins over everything, then a discard, then a failed filter
// (FAILURE, an unknown answer word or no answer) with that filter's
// --on-failure policy (reject over tempfail over accept); otherwise the
// message goes on with the headers of every ADDHEADER, in filter order.
enum class OnFailure { Tempfail, Accept, Reject };
enum class Action { Accept, Reject, Discard, Tempfail };
struct Verdict {
    Action action = Action::Accept;
    bool failed = false;             // some filter failed and its policy decided
    std::vector<std::string> reply;  // SMTP reply lines for a reject
    std::vector<HeaderField> headers;
    int skippedHeaders = 0;
};
// onFailure: one policy per filter, in the order of answers.
Verdict MergeAnswers(const std::vector<Answer>& answers, const std::vector<bool>& answered,
                     const std::vector<OnFailure>& onFailure, const std::vector<bool>& letOn = {});
const char* ActionName(Action action);

// --on-failure, given once or more: "WHAT" for every filter, or
// "PROGRAM=WHAT" for the filter whose program file is named PROGRAM (its
// basename); a filter's own setting wins over the one for all, whatever
// their order.  Without either, a failure of the virus scan (and of any
// other filter) defers the message, one of the spam rating lets it on
// unrated: no unscanned mail by default, and a message is not held up
// because it could not be rated.
class FailurePolicy {
  public:
    // false, with `error` set, for a word that is not a policy or a name
    // that cannot be a program file's.
    bool Add(const std::string& text, std::string& error);
    OnFailure For(const std::string& program, FilterRole role) const;
    // The programs named by PROGRAM=WHAT, to check against the filters.
    std::vector<std::string> Named() const;

  private:
    bool allSet_ = false;
    OnFailure all_ = OnFailure::Tempfail;
    std::vector<std::pair<std::string, OnFailure>> byFilter_;
};
const char* OnFailureName(OnFailure policy);

}  // namespace milter

#endif
