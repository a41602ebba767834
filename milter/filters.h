// The registry of filters: the children, in --filter order, and the table
// of messages waiting for their answers.
//
// A milter thread registers a message with Submit(), waits in
// Message::Wait (handing it Ask for the later filters of the staggered
// order) until the answer is known (a reject or discard from any filter,
// or every filter asked has answered), the deadline passes or the host
// stops, then calls Release() with what must live until no filter needs
// the queue file any more.  Requests still out finish in the background: their answers
// are logged, and the last one (or the failure at the timeout) releases
// the queue file.
//
// The names of the fields the filters add (for the removal of incoming
// fields of those names) come from each filter's settings file, read at
// start and at every restart, and from every answer since start.
//
// Each filter's role (roles.h) is fixed when it is added, from its program.
//
// Locks: mu_ guards the message table; the children, the messages and the
// field names have their own.  No thread holds two of them at once.
#ifndef TARNWICK_MILTER_FILTERS_H
#define TARNWICK_MILTER_FILTERS_H

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/base/threads.h"
#include "milter/answer.h"
#include "milter/child.h"
#include "milter/fieldnames.h"
#include "milter/message.h"
#include "milter/roles.h"
#include "milter/settings.h"

namespace milter {

class Filters {
  public:
    // settings must outlive the filters; the order and the timeout are
    // read from it.
    explicit Filters(const HostSettings& settings) : settings_(settings) {}
    ~Filters();
    void Add(const std::string& program, const std::vector<std::string>& args);
    size_t Count() const { return children_.size(); }
    const std::string& Name(size_t i) const { return children_[i]->Name(); }
    // Before StartAll: the hook of every child's planned restarts.
    void OnPlannedRestart(const FilterChild::PlannedRestart& hook);
    FilterRole Role(size_t i) const { return roles_[i]; }
    const std::vector<FilterRole>& Roles() const { return roles_; }
    void StartAll();
    void StopAll(int timeoutMs);

    // A fresh request token (1 to 2^31-1, then round again).
    long NextToken();
    // Registers a message and queues its request to the filters to ask first.
    // label names it on the log lines (the MTA's queue id); skip: filters
    // not to ask about it at all (Message).
    std::shared_ptr<Message> Submit(long token, const std::string& path,
                                    const std::string& label = std::string(),
                                    const std::vector<bool>& skip = {});
    // Sends m's request to the filters `which` (Message::Wait, Record).
    void Ask(const Message& m, const std::vector<size_t>& which);
    // The waiter is done with m; keep (the queue file's owner) is dropped
    // when no filter's request for it is out any more.
    void Release(const std::shared_ptr<Message>& m, std::shared_ptr<void> keep);
    // The host stops: every wait ends now, and so will those of messages
    // submitted from now on.
    void AbandonAll();

    // Called by a child's supervisor thread for each answer line.
    void Deliver(size_t index, const Answer& answer);

    // The names of the fields the filters add: seeded from their settings,
    // grown by the answers.
    FieldNames& OwnFields() { return ownFields_; }

    // The reload's handle on one filter, and on the filters' re-readings.
    FilterChild& Child(size_t i) { return *children_[i]; }
    RereadCount& Rereads() { return rereads_; }

  private:
    const HostSettings& settings_;
    RereadCount rereads_;  // before the children, which count there
    std::vector<std::unique_ptr<FilterChild>> children_;
    std::vector<FilterRole> roles_;  // fixed with children_
    twMutex mu_;
    std::map<long, std::shared_ptr<Message>> inflight_ GUARDED_BY(mu_);
    long nextToken_ GUARDED_BY(mu_) = 1;
    bool abandoned_ GUARDED_BY(mu_) = false;
    FieldNames ownFields_;
};

}  // namespace milter

#endif
