#include "milter/callbacks.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include "common/base/daemonlog.h"
#include "common/base/text.h"
#include "common/base/threads.h"
#include "milter/address.h"
#include "milter/decision.h"
#include "milter/figures.h"
#include "milter/forged_fields.h"
#include "milter/queue_head.h"
#include "milter/spool.h"

namespace milter {

using daemonlog::Debug;
using daemonlog::Error;
using daemonlog::Log;
using daemonlog::Warn;

namespace {

using Clock = std::chrono::steady_clock;

const HostSettings* settings = nullptr;
Filters* filters = nullptr;
SitePolicy site;  // set before serving
// End-of-message calls in progress, for the drain at shutdown.
class ActiveMessages {
  public:
    void Enter() EXCLUDES(mu_) {
        twLock lock(mu_);
        ++count_;
    }
    void Leave() EXCLUDES(mu_) {
        twLock lock(mu_);
        --count_;
        if (count_ == 0) none_.NotifyAll();
    }
    int WaitNone(Clock::time_point deadline) EXCLUDES(mu_) {
        twLock lock(mu_);
        while (count_ > 0 && none_.WaitUntil(mu_, deadline)) {
        }
        return count_;
    }

  private:
    twMutex mu_;
    twCondVar none_;
    int count_ GUARDED_BY(mu_) = 0;
};
ActiveMessages activeMessages;

struct ActiveMessage {
    ActiveMessage() { activeMessages.Enter(); }
    ~ActiveMessage() { activeMessages.Leave(); }
};

struct Transaction {
    Envelope env;
    SpoolFile spool;
    long token = 0;
    bool spoolFailed = false;
    int spoolErrno = 0;
    size_t droppedRecipients = 0;
    FieldCounts header;
};

struct Connection {
    std::string clientName, clientAddress, helo;
    // What the negotiation settled holds for the whole session, a new
    // connection over it (QUIT_NC) included.
    bool leadingSpace = false;  // header values arrive and leave with their blank after the colon
    bool canChangeHeaders = false;
    bool canQuarantine = false;
    // The stages at which the MTA takes no reply (negotiated): every
    // callback before the end of the message only collects.
    uint32_t noReply = 0;
    std::unique_ptr<Transaction> tx;
};

// What a collecting callback answers: nothing where the MTA agreed to
// wait for no reply, saving a round trip a header field.
MtaStatus Collected(const Connection& c, uint32_t stage) {
    return (c.noReply & stage) ? MtaStatus::kNoReply : MtaStatus::kContinue;
}

const char* MacroValue(const MtaSession& s, const char* name) {
    const std::string* v = s.Macro(name);
    return v ? v->c_str() : nullptr;
}

std::string Macro(const MtaSession& s, const char* name) {
    const char* v = MacroValue(s, name);
    return v ? v : "";
}

const char* FirstArgument(const std::vector<std::string>& args) {
    return args.empty() ? "" : args[0].c_str();
}

// The address the MTA parsed ({mail_addr}, {rcpt_addr}), or the path the
// client wrote where it sends none (MtaAddress, address.h).
bool EnvelopeAddress(const MtaSession& s, const char* macro, const std::vector<std::string>& args,
                     std::string& out) {
    return MtaAddress(MacroValue(s, macro), FirstArgument(args), out);
}

// What goes above the message: the envelope (ended by its blank line) and
// the fields.  The trace field carries the MTA's queue id, known for
// certain only at the end of the message.
struct Head {
    std::string envelope, fields;
};

Head BuildHead(const MtaSession& s, const Connection& c, const Transaction& tx) {
    const std::string protocol = TraceProtocol(
        Macro(s, "r"), !Macro(s, "{tls_version}").empty() || !Macro(s, "{cipher}").empty(),
        !Macro(s, "{auth_authen}").empty());
    return {EnvelopeText(tx.env),
            EnvelopeFields(tx.env) + ReceivedField(c.helo, tx.env, Macro(s, "j"), protocol,
                                                   Macro(s, "i"), time(nullptr))};
}

// Room for a queue id that the MTA makes known only later (Postfix's long
// ones are 17 characters): a longer one costs the queue file a rewrite.
constexpr size_t kHeadSlack = 64;

// Starts the queue file at the first piece of content, when the envelope
// is complete.
bool EnsureSpool(const MtaSession& s, const Connection& c, Transaction& tx) {
    if (tx.spool.IsOpen() || tx.spoolFailed) return !tx.spoolFailed;
    tx.token = filters->NextToken();
    const Head head = BuildHead(s, c, tx);
    if (!tx.spool.Open(QueueDir(settings->baseDir), std::to_string(tx.token),
                       head.envelope.size() + head.fields.size() + kHeadSlack)) {
        tx.spoolFailed = true;
        tx.spoolErrno = errno;
        Error("spool: cannot create queue file for request %ld: %s", tx.token, strerror(errno));
    }
    return !tx.spoolFailed;
}

void Write(const MtaSession& s, const Connection& c, Transaction& tx, const char* data, size_t n) {
    if (!EnsureSpool(s, c, tx)) return;
    if (!tx.spool.Write(data, n)) {
        tx.spoolFailed = true;
        tx.spoolErrno = errno;
        Error("spool: write to queue file of request %ld failed: %s", tx.token, strerror(errno));
    }
}

std::string Recipients(const Transaction& tx) {
    std::string out;
    size_t shown = 0;
    for (const std::string& r : tx.env.recipients) {
        if (shown == 5) break;
        out += (shown++ ? ",<" : "<") + r + ">";
    }
    size_t more = tx.env.recipients.size() - shown + tx.droppedRecipients;
    if (more) out += ",+" + std::to_string(more) + " more";
    return out;
}

void SetReply(MtaSession& s, const char* code, const char* xcode,
              const std::vector<std::string>& lines) {
    std::vector<std::string> texts;
    for (size_t i = 0; i < lines.size() && i < kMaxReplyLines; ++i)
        texts.push_back(MilterReplyText(lines[i]));
    if (!s.SetReply(code, xcode, texts))
        Warn("session: the reply text does not fit an SMTP reply; the MTA gives its own");
}

// Last occurrence first, so the indexes still name the fields counted.
void RemoveFields(MtaSession& s, const Removal& plan, const std::string& who) {
    int removed = 0;
    for (const auto& field : plan.fields) {
        const std::string& name = field.first;
        for (int index = field.second; index >= 1; --index) {
            if (s.ChangeHeader(name, static_cast<uint32_t>(index), ""))
                ++removed;
            else
                Warn("message %s: incoming header %s could not be removed", who.c_str(),
                     EscapeControl(name, 80).c_str());
        }
    }
    if (removed) {
        HostFigures().FieldsRemoved(removed);
        Log("message %s: %d incoming field(s) named like the filters' removed", who.c_str(),
            removed);
    }
}

// Step one: the queue file made whole under its final name.  False when
// it could not be (the MTA has been told to try again).
bool CommitMessage(MtaSession& s, const Connection& c, Transaction& tx, const std::string& who) {
    EnsureSpool(s, c, tx);
    const Head head = BuildHead(s, c, tx);
    if (!tx.spoolFailed && tx.spool.Commit(head.envelope, head.fields)) {
        if (tx.spool.Rewritten())
            Debug("message %s: the head outgrew the room left for it; queue file written anew",
                  who.c_str());
        return true;
    }
    Error("message %s action=tempfail spool error: %s", who.c_str(),
          strerror(tx.spoolFailed ? tx.spoolErrno : errno));
    s.SetReply("451", "4.3.0", {"Local error while queueing the message for checks"});
    return false;
}

// What the filters said, how the wait ended and what was made of it.
struct Asked {
    MessageFacts facts;
    Decision decision;
    std::string said;  // each filter's answer, for the log line
};

// Step two: the filters asked until the answer is known or the timeout,
// and the message decided; the transaction (the queue file's owner) then
// goes to the message table, which keeps it while a filter still reads the
// file.
Asked AskFilters(MtaSession& s, const Connection& c, std::shared_ptr<Transaction> tx,
                 const std::string& queueId, Clock::time_point started) {
    Asked a;
    const int spam = site.filters.spamRating;
    std::vector<bool> skip;
    std::string untrusted;  // why the spam rating is not asked
    if (spam >= 0 &&
        (settings->policy.trustAuthenticated || !settings->policy.trustedNetworks.empty())) {
        untrusted = settings->policy.TrustReason(Macro(s, "{auth_authen}"), c.clientAddress);
        if (!untrusted.empty()) {
            skip.assign(filters->Count(), false);
            skip[spam] = true;
        }
    }
    std::shared_ptr<Message> m = filters->Submit(tx->token, tx->spool.RequestPath(), queueId, skip);
    const auto deadline = started + std::chrono::seconds(settings->timeoutSec);
    MessageFacts& f = a.facts;
    f.waited = m->Wait(
        deadline, std::chrono::seconds(10), [&s] { s.Progress(); },
        [&m](const std::vector<size_t>& which) { filters->Ask(*m, which); });
    f.outcome = m->Snapshot();
    f.canHold = c.canQuarantine;
    if (spam >= 0 && settings->policy.ScoreLevels())
        f.scoreField = filters->Child(spam).TakenScoreField();
    if (!settings->keepHeaderFields && c.canChangeHeaders) {
        f.header = &tx->header;
        f.ownFields = filters->OwnFields().Get();
    }
    a.decision = DecideMessage(f, site);
    if (!a.decision.removal.adds.empty()) filters->OwnFields().Learn(a.decision.removal.adds);
    std::vector<std::string> names;
    for (size_t i = 0; i < filters->Count(); ++i) names.push_back(filters->Name(i));
    a.said = AnswersLogText(names, f, untrusted);
    filters->Release(m, std::move(tx));
    return a;
}

// Step three: the decision as the milter reply and header changes.
MtaStatus ApplyDecision(MtaSession& s, const Connection& c, const Decision& d,
                        const std::string& who) {
    const Verdict& v = d.verdict;
    const Removal& plan = d.removal;
    if (d.forgedFields && !plan.uncounted.empty())
        Warn(
            "message %s: more than %zu distinct header names; field %s could not be counted, "
            "deferred",
            who.c_str(), kMaxCountedNames, EscapeControl(plan.uncounted, 80).c_str());
    else if (d.forgedFields)
        Warn(
            "message %s: %d incoming fields named like the filters' (at most %d are removed), "
            "refused",
            who.c_str(), plan.count, kMaxRemovals);
    switch (v.action) {
        case Action::Reject:
            SetReply(s, "550", "5.7.1", v.reply);
            return MtaStatus::kReject;
        case Action::Tempfail:
            SetReply(s, "451", d.shuttingDown ? "4.3.2" : "4.7.1", v.reply);
            return MtaStatus::kTempfail;
        case Action::Discard:
            return MtaStatus::kDiscard;
        case Action::Accept:
            break;
    }
    RemoveFields(s, plan, who);
    for (const HeaderField& h : v.headers) {
        std::string value = h.second;
        if (!c.leadingSpace && !value.empty() && value[0] == ' ') value.erase(0, 1);
        if (!s.AddHeader(h.first, value))
            Warn("message %s: header %s could not be added", who.c_str(),
                 EscapeControl(h.first, 80).c_str());
    }
    return MtaStatus::kContinue;
}

// A message let on goes to the MTA's hold queue.  (Where the MTA does not
// allow holding, the policies were read without it: an infected message is
// refused as its filter said.)  A hold that fails defers the message.
MtaStatus PutInHoldQueue(MtaSession& s, Decision& d, const std::string& who) {
    const std::string reason = EscapeControl(d.policy.holdReason, 400);
    if (s.Quarantine(reason)) return MtaStatus::kContinue;
    Warn("message %s: the MTA did not take the hold (%s); deferred", who.c_str(), reason.c_str());
    HoldNotTaken(d);
    s.SetReply("451", "4.3.0", {"Message could not be held for review, try again later"});
    return MtaStatus::kTempfail;
}

// One MTA session's callbacks.
class HostSession : public SessionHandler {
  public:
    MtaStatus Negotiate(MtaSession&, uint32_t f0, uint32_t f1, uint32_t& pf0,
                        uint32_t& pf1) override {
        if (!(f0 & kActAddHeaders)) {
            Warn("session: the MTA does not allow adding header fields; refusing the connection");
            return MtaStatus::kEndSession;
        }
        pf0 = kActAddHeaders | (f0 & kActChangeHeaders);
        if (settings->policy.HoldsMessages()) pf0 |= f0 & kActQuarantine;
        c_.canQuarantine = (pf0 & kActQuarantine) != 0;
        c_.noReply = f1 & (kNoReplyConnect | kNoReplyHelo | kNoReplyMail | kNoReplyRcpt |
                           kNoReplyHeader | kNoReplyEoh | kNoReplyBody);
        pf1 = (f1 & kProtoLeadingSpace) | c_.noReply;
        c_.leadingSpace = (pf1 & kProtoLeadingSpace) != 0;
        c_.canChangeHeaders = (f0 & kActChangeHeaders) != 0;
        if (!c_.canChangeHeaders && !settings->keepHeaderFields)
            Warn(
                "session: the MTA does not allow removing header fields; incoming fields named "
                "like the filters' stay in the message");
        return MtaStatus::kContinue;
    }

    MtaStatus Connect(MtaSession&, const MtaCommand& connect) override {
        c_.clientName = ClientName(FirstArgument(connect.args));
        // The address as the MTA's own text of it: IPv4 and IPv6 only.
        c_.clientAddress =
            connect.family == '4' || connect.family == '6' ? connect.address : std::string();
        return Collected(c_, kNoReplyConnect);
    }

    MtaStatus Mail(MtaSession& s, const std::vector<std::string>& args) override {
        c_.tx = std::make_unique<Transaction>();
        c_.tx->header.known = filters->OwnFields().Get();
        c_.tx->env.clientName = c_.clientName;
        c_.tx->env.clientAddress = c_.clientAddress;
        if (!EnvelopeAddress(s, "{mail_addr}", args, c_.tx->env.sender))
            Warn("session: sender path %s not understood; taken as the null sender",
                 EscapeControl(FirstArgument(args), 300).c_str());
        return Collected(c_, kNoReplyMail);
    }

    MtaStatus Helo(MtaSession&, const std::string& name) override {
        c_.helo = HeloWord(name.c_str());
        return Collected(c_, kNoReplyHelo);
    }

    MtaStatus Rcpt(MtaSession& s, const std::vector<std::string>& args) override {
        if (!c_.tx) return Collected(c_, kNoReplyRcpt);
        std::string address;
        if (!EnvelopeAddress(s, "{rcpt_addr}", args, address) || address.empty()) {
            Warn("session: recipient path %s not understood; left out",
                 EscapeControl(FirstArgument(args), 300).c_str());
            ++c_.tx->droppedRecipients;
        } else if (c_.tx->env.recipients.size() < kMaxRecipients) {
            c_.tx->env.recipients.push_back(address);
        } else {
            ++c_.tx->droppedRecipients;
        }
        return Collected(c_, kNoReplyRcpt);
    }

    MtaStatus Header(MtaSession& s, const std::string& name, const std::string& value) override {
        if (!c_.tx) return Collected(c_, kNoReplyHeader);
        c_.tx->header.Count(name);
        // The milter protocol carries header fields without line ends; they
        // are written with line feeds (folds too), so the header block ends
        // at the first line that is empty to every reader of the queue file.
        // The body keeps the line ends the MTA sends.
        std::string line(name);
        line += c_.leadingSpace ? ":" : ": ";
        for (char ch : value)
            if (ch != '\r') line += ch;
        line += "\n";
        Write(s, c_, *c_.tx, line.data(), line.size());
        return Collected(c_, kNoReplyHeader);
    }

    MtaStatus EndOfHeaders(MtaSession& s) override {
        if (c_.tx) Write(s, c_, *c_.tx, "\n", 1);
        return Collected(c_, kNoReplyEoh);
    }

    MtaStatus Body(MtaSession& s, const std::string& chunk) override {
        if (c_.tx) Write(s, c_, *c_.tx, chunk.data(), chunk.size());
        return Collected(c_, kNoReplyBody);
    }

    MtaStatus EndOfMessage(MtaSession& s) override {
        if (!c_.tx) {
            // No envelope was seen, so nothing was checked: never let it through.
            Warn("session: end of message without a transaction; action=tempfail");
            s.SetReply("451", "4.3.0", {"Message could not be checked, try again later"});
            return MtaStatus::kTempfail;
        }
        ActiveMessage active;
        // Shared: the message table keeps the queue file while a filter may
        // still read it; this thread keeps its own hold until the reply.
        std::shared_ptr<Transaction> tx(std::move(c_.tx));
        const auto started = Clock::now();
        const char* qid = MacroValue(s, "i");
        const std::string queueId = EscapeControl(qid ? qid : "-", 64);
        const std::string who = "queue=" + queueId + " from=<" +
                                EscapeControl(tx->env.sender, 200) +
                                "> to=" + EscapeControl(Recipients(*tx), 600);

        if (!CommitMessage(s, c_, *tx, who)) {
            HostFigures().Count(Counted::kDeferredSpool);
            return MtaStatus::kTempfail;
        }
        Asked a = AskFilters(s, c_, tx, queueId, started);
        Decision& d = a.decision;
        MtaStatus result = ApplyDecision(s, c_, d, who);
        if (d.policy.hold) result = PutInHoldQueue(s, d, who);
        HostFigures().Count(Classify(d));

        const long ms = static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count());
        const Verdict& v = d.verdict;
        Log("message %s request=%ld%s action=%s%s%s%s%s%s%s time=%ldms", who.c_str(), tx->token,
            a.said.c_str(), d.policy.hold ? "hold" : ActionName(v.action),
            d.policy.note.empty() ? "" : " (", EscapeControl(d.policy.note, 600).c_str(),
            d.policy.note.empty() ? "" : ")", v.failed ? " (filter failure)" : "",
            d.shuttingDown ? " (shutting down)" : "",
            v.skippedHeaders ? " (malformed header lines skipped)" : "", ms);
        return result;
    }

    void Abort(MtaSession&) override {
        c_.tx.reset();  // removes a half-written queue file
    }

    void Close(MtaSession&) override {
        c_.tx.reset();
        c_.clientName.clear();
        c_.clientAddress.clear();
        c_.helo.clear();
    }

  private:
    Connection c_;
};

}  // namespace

int DrainMessages(int timeoutMs) {
    return activeMessages.WaitNone(Clock::now() + std::chrono::milliseconds(timeoutMs));
}

MtaServer::Factory HostSessions(const HostSettings& s, Filters& f) {
    settings = &s;
    filters = &f;
    site.settings = s.policy;
    site.filters = PolicyFiltersOf(f.Roles());
    site.onFailure.clear();
    for (size_t i = 0; i < f.Count(); ++i)
        site.onFailure.push_back(s.onFailure.For(f.Name(i), f.Role(i)));
    return [] { return std::unique_ptr<SessionHandler>(new HostSession); };
}

}  // namespace milter
