// The rating pool: turns, retries and time shares of one rating.  See
// rating_pool.h for the contract.
#include "engines/rating/rating_pool.h"

#include <algorithm>
#include <thread>

#include "common/base/daemonlog.h"
#include "common/base/signals.h"

namespace engined {

using daemonlog::Debug;
using daemonlog::Log;
using daemonlog::Warn;

constexpr std::chrono::milliseconds RatingPool::pingLimit;

namespace {

using Clock = std::chrono::steady_clock;

// The first pause before an exchange that broke is tried again on the same
// member; it doubles up to the longest.
constexpr int firstPauseMs = 100;
constexpr int longestPauseMs = 1000;

}  // namespace

RatingPool::RatingPool(std::vector<MemberAddress> members, std::chrono::milliseconds grace,
                       RatingClient client)
    : members_(std::move(members)),
      grace_(grace),
      client_(std::move(client)),
      health_(members_.size(),
              MemberPool::Hooks{
                  [this](size_t member, std::string& why) {
                      if (client_.ping(members_[member], static_cast<int>(pingLimit.count()), why))
                          return true;
                      Debug("%s at %s still away: %s", client_.name,
                            members_[member].Text().c_str(), why.c_str());
                      return false;
                  },
                  [this](size_t member, const std::string& why, size_t left) {
                      Warn("%s at %s is away: %s; %s", client_.name,
                           members_[member].Text().c_str(), why.c_str(),
                           left > 0 ? "its messages go to the others until it answers again"
                                    : "messages are answered at once without a rating until it "
                                      "answers again");
                      if (left == 0 && members_.size() > 1)
                          Warn(
                              "every %s is away: messages are answered at once without a "
                              "rating",
                              client_.name);
                  },
                  [this](size_t member, long long seconds) {
                      Log("%s at %s is back after %lld s away", client_.name,
                          members_[member].Text().c_str(), seconds);
                  },
                  [this](size_t member, const std::string& why, long long seconds, size_t left) {
                      const std::string pause = std::to_string(seconds) + " s";
                      Warn("%s at %s is away: %s; %s", client_.name,
                           members_[member].Text().c_str(), why.c_str(),
                           (left > 0
                                ? "its messages go to the others for " + pause
                                : "no other is up: it is still asked, first in turn after " + pause)
                               .c_str());
                  },
                  [this](size_t member, long long seconds) {
                      Log("%s at %s gets messages again after a pause of %lld s", client_.name,
                          members_[member].Text().c_str(), seconds);
                  }}) {}

std::string RatingPool::Text() const {
    std::string text;
    for (const MemberAddress& member : members_) {
        if (!text.empty()) text += ", ";
        text += member.Text();
    }
    return text;
}

MemberPool::Round RatingPool::HoldRound(const std::string& message, Clock::time_point until,
                                        Clock::time_point deadline, RatingOutcome& outcome,
                                        int& tries, int& rated) {
    uint64_t tried = 0;
    for (int member; (member = health_.Pick(tried, true)) >= 0;) {
        tried |= uint64_t{1} << member;
        if (Clock::now() >= until) return MemberPool::Round::kGiveUp;
        const long long left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        outcome = client_.ask(members_[static_cast<size_t>(member)], message,
                              static_cast<int>(std::max<long long>(1, left)));
        ++tries;
        if (outcome.failure == ExchangeFailure::kNone) {
            health_.Finished(static_cast<size_t>(member));
            rated = member;
            return MemberPool::Round::kAnswered;
        }
        // Refused, or a child ended while spamd restarts: still the
        // reload.  Anything else is an answer of its own.
        if (outcome.failure != ExchangeFailure::kUnreachable &&
            outcome.failure != ExchangeFailure::kNetwork)
            return MemberPool::Round::kGiveUp;
    }
    return MemberPool::Round::kNone;
}

RatingOutcome RatingPool::Rate(const std::string& message, uint32_t serial, int timeoutMs) {
    const std::string name(client_.name);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    uint64_t brokeOnce = 0;  // members whose exchange of this message broke
    uint64_t done = 0;       // members this message does not go to again
    int lastBroken = -1;
    int pauseMs = firstPauseMs;
    int tries = 0;
    RatingOutcome outcome;
    for (;;) {
        int member = health_.Pick(done);
        // No member up: one paused for a late answer is the last resort (a
        // lone spamd that was slow once still gets every message).
        if (member < 0) member = health_.PickPaused(done);
        if (member < 0) {
            // Every member away: held while the last one went away less
            // than the grace ago (a rule reload), within this message's time.
            const Clock::time_point holdUntil = health_.HoldUntil(grace_, deadline);
            int rated = -1;
            const Clock::time_point held = Clock::now();
            if (held < holdUntil && health_.Hold(holdUntil, [&] {
                    return HoldRound(message, holdUntil, deadline, outcome, tries, rated);
                })) {
                Log("serial %u: rated after %lld ms held while %s was away", serial,
                    static_cast<long long>(
                        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - held)
                            .count()),
                    client_.name);
                outcome.member = rated;
                return outcome;
            }
            if (tries == 0) {
                outcome = RatingOutcome();
                outcome.failure = ExchangeFailure::kUnreachable;
                outcome.what = name + " is away: " + health_.AwayText();
                outcome.unasked = true;
            } else if (tries > 1) {
                outcome.what += " (" + std::to_string(tries) + " tries)";
            }
            return outcome;
        }
        if (member == lastBroken) {
            // The same daemon again: give a restarting child a moment.
            if (Clock::now() + std::chrono::milliseconds(pauseMs) >= deadline ||
                stopRequested.load()) {
                outcome.what += " (" + std::to_string(tries) + " tries)";
                return outcome;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
            pauseMs = std::min(pauseMs * 2, longestPauseMs);
        }
        const uint64_t bit = uint64_t{1} << member;
        // The time left, shared among the members still to try: one that
        // takes the message and never answers leaves time for the others.
        const size_t still = std::max<size_t>(1, health_.UpLeft(done));
        const long long left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        const long long share = std::max<long long>(1, left / static_cast<long long>(still));
        const MemberAddress& address = members_[static_cast<size_t>(member)];
        outcome = client_.ask(address, message, static_cast<int>(share));
        ++tries;
        switch (outcome.failure) {
            case ExchangeFailure::kNone:
                if (brokeOnce != 0 || done != 0)
                    Log("serial %u: %s answered at try %d", serial, client_.name, tries);
                health_.Finished(static_cast<size_t>(member));
                outcome.member = member;
                return outcome;
            case ExchangeFailure::kUnreachable:
                health_.GoneAway(static_cast<size_t>(member), outcome.what);
                break;
            case ExchangeFailure::kNetwork:
                if (brokeOnce & bit) {
                    health_.GoneAway(static_cast<size_t>(member),
                                     outcome.what + ", twice for one message");
                } else {
                    if (brokeOnce == 0)
                        Warn("serial %u: %s; trying again", serial, outcome.what.c_str());
                    brokeOnce |= bit;
                    lastBroken = member;
                }
                break;
            case ExchangeFailure::kTimeout:
                // Connected and silent: a spamd that takes ratings and never
                // finishes them; it may still answer PING, so only a pause
                // or a rating brings it back.  Not connected: its backlog
                // stayed full, it is busy, not away.
                if (outcome.connected)
                    health_.TimedOut(static_cast<size_t>(member),
                                     outcome.what + " (within " + std::to_string(share) + " ms)");
                done |= bit;
                break;
            default:  // refused: the same message would be refused again
                return outcome;
        }
        if (Clock::now() >= deadline) {
            outcome.what += " (" + std::to_string(tries) + " tries)";
            return outcome;
        }
    }
}

}  // namespace engined
