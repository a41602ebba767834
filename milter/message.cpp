#include "milter/message.h"

#include <algorithm>

namespace milter {

using Clock = std::chrono::steady_clock;

Message::Message(long token_, std::string path_, std::string label_, size_t filters, Order order,
                 const std::vector<bool>& skip, HeadStart& headStart)
    : token(token_),
      path(std::move(path_)),
      label(std::move(label_)),
      order_(order),
      headStart_(headStart),
      born_(Clock::now()) {
    twLock lock(mu_);
    outcome_.answers.resize(filters);
    outcome_.answered.assign(filters, false);
    outcome_.skipped.assign(filters, false);
    for (size_t i = 0; i < filters && i < skip.size(); ++i) outcome_.skipped[i] = skip[i];
    // No other thread knows the message yet: the first ones asked are
    // marked here.
    outcome_.asked.assign(filters, false);
    for (size_t i = 0; i < filters; ++i) {
        if (outcome_.skipped[i]) continue;
        outcome_.asked[i] = true;
        ++out_;
        if (order != Order::Parallel) break;
    }
}

bool Message::DecidedLocked() const {
    return refused_ || out_ == 0;
}

Message::Recorded Message::Record(size_t index, const Answer& answer) {
    Recorded r;
    bool firstRefused = false;
    {
        twLock lock(mu_);
        if (index >= outcome_.answered.size() || outcome_.answered[index] || !outcome_.asked[index])
            return r;
        r.afterRefusal = refused_;
        outcome_.answers[index] = answer;
        outcome_.answered[index] = true;
        --out_;
        if (answer.kind == AnswerKind::Error || answer.kind == AnswerKind::Discard) {
            refused_ = true;  // the others need not look
            firstRefused = index == 0;
        } else if (!refused_) {
            for (size_t next = index + 1; next < outcome_.asked.size(); ++next) {
                if (outcome_.asked[next] || outcome_.skipped[next]) continue;
                outcome_.asked[next] = true;
                ++out_;
                r.ask.push_back(next);
                if (order_ == Order::Serial) break;
            }
        }
        r.late = released_;
        r.elapsedMs = static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - born_).count());
        if (released_ && out_ == 0) {
            r.finished = true;
            r.keep = std::move(keep_);
        }
    }
    answeredCv_.NotifyAll();
    if (firstRefused)
        headStart_.RecordRefusal(
            std::chrono::duration_cast<HeadStart::Duration>(Clock::now() - born_));
    return r;
}

std::vector<size_t> Message::AskRest() {
    std::vector<size_t> ask;
    twLock lock(mu_);
    if (refused_ || abandoned_) return ask;
    for (size_t i = 0; i < outcome_.asked.size(); ++i) {
        if (outcome_.asked[i] || outcome_.skipped[i]) continue;
        outcome_.asked[i] = true;
        ++out_;
        ask.push_back(i);
    }
    return ask;
}

bool Message::WaitStretch(Clock::time_point deadline, std::chrono::milliseconds progressEvery,
                          bool progress, Waited& waited) {
    twLock lock(mu_);
    for (;;) {
        if (abandoned_ || DecidedLocked()) {
            waited = abandoned_ ? Waited::kAbandoned : Waited::kDecided;
            return true;
        }
        const auto now = Clock::now();
        if (now >= deadline) {
            waited = Waited::kDeadline;
            return true;
        }
        const auto until = std::min(deadline, now + progressEvery);
        while (!abandoned_ && !DecidedLocked() && answeredCv_.WaitUntil(mu_, until)) {
        }
        if (abandoned_ || DecidedLocked()) continue;
        if (Clock::now() < until) continue;  // woken early
        if (Clock::now() < deadline && progress) return false;
    }
}

Message::Waited Message::WaitDecided(Clock::time_point deadline,
                                     std::chrono::milliseconds progressEvery,
                                     const std::function<void()>& progress) {
    Waited waited;
    // progress runs between the stretches, outside the lock.
    while (!WaitStretch(deadline, progressEvery, static_cast<bool>(progress), waited)) progress();
    return waited;
}

Message::Waited Message::Wait(Clock::time_point deadline, std::chrono::milliseconds progressEvery,
                              const std::function<void()>& progress,
                              const std::function<void(const std::vector<size_t>&)>& ask) {
    if (order_ == Order::Staggered) {
        const auto headStartEnds = std::min(deadline, born_ + headStart_.Current());
        const Waited w = WaitDecided(headStartEnds, progressEvery, progress);
        if (w != Waited::kDeadline || headStartEnds >= deadline) return w;
        const std::vector<size_t> rest = AskRest();
        if (!rest.empty()) ask(rest);
    }
    return WaitDecided(deadline, progressEvery, progress);
}

void Message::Abandon() {
    {
        twLock lock(mu_);
        abandoned_ = true;
    }
    answeredCv_.NotifyAll();
}

bool Message::Release(std::shared_ptr<void> keep) {
    twLock lock(mu_);
    released_ = true;
    if (out_ == 0) return true;
    keep_ = std::move(keep);
    return false;
}

Outcome Message::Snapshot() const {
    twLock lock(mu_);
    return outcome_;
}

}  // namespace milter
