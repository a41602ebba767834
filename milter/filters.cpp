#include "milter/filters.h"

#include <climits>

#include "common/base/daemonlog.h"
#include "milter/figures.h"

namespace milter {

using Clock = std::chrono::steady_clock;
using daemonlog::Log;
using daemonlog::Warn;

Filters::~Filters() {
    StopAll(0);
}

void Filters::Add(const std::string& program, const std::vector<std::string>& args) {
    children_.push_back(std::make_unique<FilterChild>(
        children_.size(), program, args, settings_, ownFields_, rereads_,
        [this](size_t index, const Answer& answer) { Deliver(index, answer); }));
    roles_.push_back(RoleOfProgram(program));
}

void Filters::OnPlannedRestart(const FilterChild::PlannedRestart& hook) {
    for (auto& c : children_) c->OnPlannedRestart(hook);
}

void Filters::StartAll() {
    for (auto& c : children_) c->Start();
}

void Filters::StopAll(int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (auto& c : children_) c->BeginStop(deadline);
    for (auto& c : children_) c->Join();
}

long Filters::NextToken() {
    twLock lock(mu_);
    long token = nextToken_;
    nextToken_ = nextToken_ >= INT_MAX ? 1 : nextToken_ + 1;
    return token;
}

void Filters::Ask(const Message& m, const std::vector<size_t>& which) {
    for (size_t i : which)
        if (i < children_.size()) children_[i]->Send(m.token, m.path, m.label);
}

std::shared_ptr<Message> Filters::Submit(long token, const std::string& path,
                                         const std::string& label, const std::vector<bool>& skip) {
    auto m = std::make_shared<Message>(token, path, label, children_.size(), settings_.order, skip);
    bool abandoned;
    {
        twLock lock(mu_);
        inflight_[token] = m;
        abandoned = abandoned_;
    }
    if (abandoned) m->Abandon();
    const Outcome first = m->Snapshot();
    for (size_t i = 0; i < children_.size(); ++i)
        if (first.asked[i]) children_[i]->Send(token, path, label);
    return m;
}

void Filters::Release(const std::shared_ptr<Message>& m, std::shared_ptr<void> keep) {
    if (!m->Release(keep)) return;
    {
        twLock lock(mu_);
        inflight_.erase(m->token);
    }
    // Nothing is out: keep goes with the caller's reference.
}

void Filters::AbandonAll() {
    std::vector<std::shared_ptr<Message>> waiting;
    {
        twLock lock(mu_);
        abandoned_ = true;
        for (auto& entry : inflight_) waiting.push_back(entry.second);
    }
    for (auto& m : waiting) m->Abandon();
}

void Filters::Deliver(size_t index, const Answer& answer) {
    std::shared_ptr<Message> m;
    {
        twLock lock(mu_);
        auto it = inflight_.find(answer.token);
        if (it != inflight_.end()) m = it->second;
    }
    if (!m) return;
    Message::Recorded r = m->Record(index, answer);
    Ask(*m, r.ask);
    HostFigures().Answered(index, r.elapsedMs);
    if (r.late) HostFigures().LateAnswer(index);
    // After another filter's refusal the answer was not needed: that is
    // every infected message's way, no problem.  After --timeout it is one.
    if (r.late)
        daemonlog::LogAt(r.afterRefusal ? daemonlog::Level::kInfo : daemonlog::Level::kWarning,
                         "late answer queue=%s request=%ld %s=%s after %ldms%s", m->label.c_str(),
                         m->token, Name(index).c_str(), AnswerLogText(answer).c_str(), r.elapsedMs,
                         r.finished ? "; queue file removed" : "");
    if (r.finished) {
        twLock lock(mu_);
        inflight_.erase(m->token);
    }
    // r.keep, the queue file's owner, goes here, outside every lock.
}

}  // namespace milter
