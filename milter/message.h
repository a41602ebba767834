// One message in flight and the order in which the filters are asked.
//
// The milter thread that handles the message waits on it; the filters'
// supervisor threads record their answers.  The order (serial, parallel,
// staggered with its head start, head_start.h) lives here alone: who is asked first (the
// constructor), who next after an answer (Record), and when the head start
// ends (Wait).  The callers send the requests this tells them to, outside
// the lock.
//
// Locks: mu_ guards the answers and what is missing; its condition wakes
// the waiter.  Nothing else is taken while it is held (the head start's
// lock is taken after it is let go).
#ifndef TARNWICK_MILTER_MESSAGE_H
#define TARNWICK_MILTER_MESSAGE_H

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/base/threads.h"
#include "milter/answer.h"
#include "milter/head_start.h"
#include "milter/settings.h"

namespace milter {

// What the filters said about one message, one slot per filter.
struct Outcome {
    std::vector<Answer> answers;
    std::vector<bool> answered;
    std::vector<bool> asked;    // later filters only once the earlier ones let it on
    std::vector<bool> skipped;  // never to be asked
};

// One message in flight: the milter thread that handles it waits, the
// filters' supervisor threads record their answers.
class Message {
  public:
    enum class Waited { kDecided, kDeadline, kAbandoned };

    // skip[i] true: filter i is never asked about this message (a trusted
    // sender is not rated); the order passes over it.  With Staggered, the
    // first filter has the message to itself for headStart's current time
    // (see head_start.h); its refusals are recorded there whatever the order.
    Message(long token, std::string path, std::string label, size_t filters, Order order,
            const std::vector<bool>& skip = {}, HeadStart& headStart = HeadStart::Shared());

    const long token;
    const std::string path;  // relative to the base directory, as sent in FILE
    // The MTA's queue id: names the message on the filters' log lines and
    // on the host's lines of late answers.
    const std::string label;

    // What recording an answer leads to.
    struct Recorded {
        std::vector<size_t> ask;     // filters to ask now
        bool finished = false;       // no request out and the waiter has let go
        bool late = false;           // the waiter had already let go
        bool afterRefusal = false;   // with late: another filter's refusal had decided
        std::shared_ptr<void> keep;  // with finished: to be let go of
        long elapsedMs = 0;          // since the message came
    };
    // Records filter index's answer and wakes the waiter.  A reject or
    // discard decides the message: nobody else is asked.  Any other answer
    // of a filter lets the next ones on (the next with Serial, every other
    // with Staggered).  A second answer of the same filter changes nothing.
    Recorded Record(size_t index, const Answer& answer) EXCLUDES(mu_);
    // The head start is over: the filters not asked yet unless the message
    // is decided.
    std::vector<size_t> AskRest() EXCLUDES(mu_);
    // Until the answer is known, the deadline or Abandon(); with
    // Staggered, asks the later filters through `ask` after the head start.
    // progress runs every progressEvery while waiting (to keep the MTA
    // patient), without the lock.
    Waited Wait(std::chrono::steady_clock::time_point deadline,
                std::chrono::milliseconds progressEvery, const std::function<void()>& progress,
                const std::function<void(const std::vector<size_t>&)>& ask) EXCLUDES(mu_);
    // Until the answer is known, the deadline, or Abandon().  progress runs
    // every progressEvery while waiting, without the lock.
    Waited WaitDecided(std::chrono::steady_clock::time_point deadline,
                       std::chrono::milliseconds progressEvery,
                       const std::function<void()>& progress) EXCLUDES(mu_);
    // The host stops: the waiter gives up at once.
    void Abandon() EXCLUDES(mu_);
    // The waiter lets go: keep lives until no request is out.  True when
    // none is (the caller drops keep and forgets the message).
    bool Release(std::shared_ptr<void> keep) EXCLUDES(mu_);
    Outcome Snapshot() const EXCLUDES(mu_);

  private:
    bool DecidedLocked() const REQUIRES(mu_);
    // Waits under the lock until the message is decided, abandoned or
    // the deadline passes (true, waited set), or until progress is due
    // (false; only with progress).
    bool WaitStretch(std::chrono::steady_clock::time_point deadline,
                     std::chrono::milliseconds progressEvery, bool progress, Waited& waited)
        EXCLUDES(mu_);

    const Order order_;
    HeadStart& headStart_;
    const std::chrono::steady_clock::time_point born_;
    mutable twMutex mu_;
    twCondVar answeredCv_;
    Outcome outcome_ GUARDED_BY(mu_);
    size_t out_ GUARDED_BY(mu_) = 0;  // asked, not answered
    bool refused_ GUARDED_BY(mu_) = false;
    bool abandoned_ GUARDED_BY(mu_) = false;
    bool released_ GUARDED_BY(mu_) = false;
    std::shared_ptr<void> keep_ GUARDED_BY(mu_);
};

}  // namespace milter

#endif
