#include "milter/callbacks.h"

#include <arpa/inet.h>
#include <libmilter/mfapi.h>
#include <netinet/in.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "common/base/daemonlog.h"
#include "common/base/text.h"
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
std::atomic<int> activeMessages{0};

struct ActiveMessage {
    ActiveMessage() { ++activeMessages; }
    ~ActiveMessage() { --activeMessages; }
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
    bool leadingSpace = false;  // header values arrive and leave with their blank after the colon
    bool canChangeHeaders = false;
    bool canQuarantine = false;
    // The stages at which the MTA takes no reply (SMFIP_NR_*, negotiated):
    // every callback before the end of the message only collects.
    unsigned long noReply = 0;
    std::unique_ptr<Transaction> tx;
};

// What a collecting callback answers: nothing where the MTA agreed to
// wait for no reply, saving a round trip a header field.
sfsistat Collected(const Connection* c, unsigned long stage) {
    return (c->noReply & stage) ? SMFIS_NOREPLY : SMFIS_CONTINUE;
}

std::string Macro(SMFICTX* ctx, const char* name) {
    const char* v = smfi_getsymval(ctx, const_cast<char*>(name));
    return v ? v : "";
}

// The address the MTA parsed ({mail_addr}, {rcpt_addr}), or the path the
// client wrote where it sends none (MtaAddress, address.h).
bool EnvelopeAddress(SMFICTX* ctx, const char* macro, char** argv, std::string& out) {
    return MtaAddress(smfi_getsymval(ctx, const_cast<char*>(macro)), argv && argv[0] ? argv[0] : "",
                      out);
}

Connection* Conn(SMFICTX* ctx) {
    auto* c = static_cast<Connection*>(smfi_getpriv(ctx));
    if (!c) {
        c = new Connection;
        smfi_setpriv(ctx, c);
    }
    return c;
}

// What goes above the message: the envelope (ended by its blank line) and
// the fields.  The trace field carries the MTA's queue id, known for
// certain only at the end of the message.
struct Head {
    std::string envelope, fields;
};

Head BuildHead(SMFICTX* ctx, const Connection& c, const Transaction& tx) {
    const std::string protocol = TraceProtocol(
        Macro(ctx, "r"), !Macro(ctx, "{tls_version}").empty() || !Macro(ctx, "{cipher}").empty(),
        !Macro(ctx, "{auth_authen}").empty());
    return {EnvelopeText(tx.env),
            EnvelopeFields(tx.env) + ReceivedField(c.helo, tx.env, Macro(ctx, "j"), protocol,
                                                   Macro(ctx, "i"), time(nullptr))};
}

// Room for a queue id that the MTA makes known only later (Postfix's long
// ones are 17 characters): a longer one costs the queue file a rewrite.
constexpr size_t kHeadSlack = 64;

// Starts the queue file at the first piece of content, when the envelope
// is complete.
bool EnsureSpool(SMFICTX* ctx, const Connection& c, Transaction& tx) {
    if (tx.spool.IsOpen() || tx.spoolFailed) return !tx.spoolFailed;
    tx.token = filters->NextToken();
    const Head head = BuildHead(ctx, c, tx);
    if (!tx.spool.Open(QueueDir(settings->baseDir), std::to_string(tx.token),
                       head.envelope.size() + head.fields.size() + kHeadSlack)) {
        tx.spoolFailed = true;
        tx.spoolErrno = errno;
        Error("spool: cannot create queue file for request %ld: %s", tx.token, strerror(errno));
    }
    return !tx.spoolFailed;
}

void Write(SMFICTX* ctx, const Connection& c, Transaction& tx, const char* data, size_t n) {
    if (!EnsureSpool(ctx, c, tx)) return;
    if (!tx.spool.Write(data, n)) {
        tx.spoolFailed = true;
        tx.spoolErrno = errno;
        Error("spool: write to queue file of request %ld failed: %s", tx.token, strerror(errno));
    }
}

sfsistat Negotiate(SMFICTX* ctx, unsigned long f0, unsigned long f1, unsigned long, unsigned long,
                   unsigned long* pf0, unsigned long* pf1, unsigned long* pf2, unsigned long* pf3) {
    Connection* c = Conn(ctx);
    if (!(f0 & SMFIF_ADDHDRS)) {
        Warn("session: the MTA does not allow adding header fields; refusing the connection");
        return SMFIS_REJECT;
    }
    *pf0 = SMFIF_ADDHDRS | (f0 & SMFIF_CHGHDRS);
    if (settings->policy.HoldsMessages()) *pf0 |= f0 & SMFIF_QUARANTINE;
    c->canQuarantine = (*pf0 & SMFIF_QUARANTINE) != 0;
    c->noReply = f1 & (SMFIP_NR_CONN | SMFIP_NR_HELO | SMFIP_NR_MAIL | SMFIP_NR_RCPT |
                       SMFIP_NR_HDR | SMFIP_NR_EOH | SMFIP_NR_BODY);
    *pf1 = (f1 & SMFIP_HDR_LEADSPC) | c->noReply;
    *pf2 = *pf3 = 0;
    c->leadingSpace = (*pf1 & SMFIP_HDR_LEADSPC) != 0;
    c->canChangeHeaders = (f0 & SMFIF_CHGHDRS) != 0;
    if (!c->canChangeHeaders && !settings->keepHeaderFields)
        Warn(
            "session: the MTA does not allow removing header fields; incoming fields named like "
            "the filters' stay in the message");
    return SMFIS_CONTINUE;
}

sfsistat OnConnect(SMFICTX* ctx, char* host, struct sockaddr* addr) {
    Connection* c = Conn(ctx);
    c->clientName = ClientName(host);
    c->clientAddress.clear();
    char text[INET6_ADDRSTRLEN] = "";
    if (addr && addr->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<struct sockaddr_in*>(addr)->sin_addr, text,
                  sizeof text);
    else if (addr && addr->sa_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<struct sockaddr_in6*>(addr)->sin6_addr, text,
                  sizeof text);
    c->clientAddress = text;
    return Collected(c, SMFIP_NR_CONN);
}

sfsistat OnMailFrom(SMFICTX* ctx, char** argv) {
    Connection* c = Conn(ctx);
    c->tx = std::make_unique<Transaction>();
    c->tx->header.known = filters->OwnFields().Get();
    c->tx->env.clientName = c->clientName;
    c->tx->env.clientAddress = c->clientAddress;
    if (!EnvelopeAddress(ctx, "{mail_addr}", argv, c->tx->env.sender))
        Warn("session: sender path %s not understood; taken as the null sender",
             EscapeControl(argv && argv[0] ? argv[0] : "", 300).c_str());
    return Collected(c, SMFIP_NR_MAIL);
}

sfsistat OnHelo(SMFICTX* ctx, char* name) {
    Connection* c = Conn(ctx);
    c->helo = HeloWord(name);
    return Collected(c, SMFIP_NR_HELO);
}

sfsistat OnRcptTo(SMFICTX* ctx, char** argv) {
    Connection* c = Conn(ctx);
    if (!c->tx) return Collected(c, SMFIP_NR_RCPT);
    std::string address;
    if (!EnvelopeAddress(ctx, "{rcpt_addr}", argv, address) || address.empty()) {
        Warn("session: recipient path %s not understood; left out",
             EscapeControl(argv && argv[0] ? argv[0] : "", 300).c_str());
        ++c->tx->droppedRecipients;
    } else if (c->tx->env.recipients.size() < kMaxRecipients) {
        c->tx->env.recipients.push_back(address);
    } else {
        ++c->tx->droppedRecipients;
    }
    return Collected(c, SMFIP_NR_RCPT);
}

sfsistat OnHeader(SMFICTX* ctx, char* name, char* value) {
    Connection* c = Conn(ctx);
    if (!c->tx) return Collected(c, SMFIP_NR_HDR);
    c->tx->header.Count(name ? name : "");
    // The milter protocol carries header fields without line ends; they are
    // written with line feeds (folds too), so the header block ends at the
    // first line that is empty to every reader of the queue file.  The body
    // keeps the line ends the MTA sends.
    std::string line(name ? name : "");
    line += c->leadingSpace ? ":" : ": ";
    for (const char* p = value ? value : ""; *p; ++p)
        if (*p != '\r') line += *p;
    line += "\n";
    Write(ctx, *c, *c->tx, line.data(), line.size());
    return Collected(c, SMFIP_NR_HDR);
}

sfsistat OnEndOfHeaders(SMFICTX* ctx) {
    Connection* c = Conn(ctx);
    if (c->tx) Write(ctx, *c, *c->tx, "\n", 1);
    return Collected(c, SMFIP_NR_EOH);
}

sfsistat OnBody(SMFICTX* ctx, unsigned char* chunk, size_t len) {
    Connection* c = Conn(ctx);
    if (c->tx) Write(ctx, *c, *c->tx, reinterpret_cast<const char*>(chunk), len);
    return Collected(c, SMFIP_NR_BODY);
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

void SetReply(SMFICTX* ctx, const char* code, const char* xcode,
              const std::vector<std::string>& lines) {
    const char* l[kMaxReplyLines + 1] = {};
    std::vector<std::string> texts;
    for (size_t i = 0; i < lines.size() && i < kMaxReplyLines; ++i)
        texts.push_back(MilterReplyText(lines[i]));
    for (size_t i = 0; i < texts.size(); ++i) l[i] = texts[i].c_str();
    int rc = lines.size() == 1
                 ? smfi_setreply(ctx, const_cast<char*>(code), const_cast<char*>(xcode),
                                 const_cast<char*>(l[0]))
                 : smfi_setmlreply(ctx, code, xcode, l[0], l[1], l[2], l[3], l[4], l[5], l[6], l[7],
                                   l[8], l[9], l[10], l[11], l[12], l[13], l[14], l[15], nullptr);
    if (rc != MI_SUCCESS) Warn("session: the reply text was not accepted by libmilter");
}

// Last occurrence first, so the indexes still name the fields counted.
void RemoveFields(SMFICTX* ctx, const Removal& plan, const std::string& who) {
    int removed = 0;
    for (const auto& field : plan.fields) {
        const std::string& name = field.first;
        for (int index = field.second; index >= 1; --index) {
            if (smfi_chgheader(ctx, const_cast<char*>(name.c_str()), index, nullptr) == MI_SUCCESS)
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
bool CommitMessage(SMFICTX* ctx, const Connection& c, Transaction& tx, const std::string& who) {
    EnsureSpool(ctx, c, tx);
    const Head head = BuildHead(ctx, c, tx);
    if (!tx.spoolFailed && tx.spool.Commit(head.envelope, head.fields)) {
        if (tx.spool.Rewritten())
            Debug("message %s: the head outgrew the room left for it; queue file written anew",
                  who.c_str());
        return true;
    }
    Error("message %s action=tempfail spool error: %s", who.c_str(),
          strerror(tx.spoolFailed ? tx.spoolErrno : errno));
    smfi_setreply(ctx, const_cast<char*>("451"), const_cast<char*>("4.3.0"),
                  const_cast<char*>("Local error while queueing the message for checks"));
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
Asked AskFilters(SMFICTX* ctx, const Connection& c, std::shared_ptr<Transaction> tx,
                 const std::string& queueId, Clock::time_point started) {
    Asked a;
    const int spam = site.filters.spamRating;
    std::vector<bool> skip;
    std::string untrusted;  // why the spam rating is not asked
    if (spam >= 0 &&
        (settings->policy.trustAuthenticated || !settings->policy.trustedNetworks.empty())) {
        untrusted = settings->policy.TrustReason(Macro(ctx, "{auth_authen}"), c.clientAddress);
        if (!untrusted.empty()) {
            skip.assign(filters->Count(), false);
            skip[spam] = true;
        }
    }
    std::shared_ptr<Message> m = filters->Submit(tx->token, tx->spool.RequestPath(), queueId, skip);
    const auto deadline = started + std::chrono::seconds(settings->timeoutSec);
    MessageFacts& f = a.facts;
    f.waited = m->Wait(
        deadline, std::chrono::seconds(10), [ctx] { smfi_progress(ctx); },
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
sfsistat ApplyDecision(SMFICTX* ctx, const Connection& c, const Decision& d,
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
            SetReply(ctx, "550", "5.7.1", v.reply);
            return SMFIS_REJECT;
        case Action::Tempfail:
            SetReply(ctx, "451", d.shuttingDown ? "4.3.2" : "4.7.1", v.reply);
            return SMFIS_TEMPFAIL;
        case Action::Discard:
            return SMFIS_DISCARD;
        case Action::Accept:
            break;
    }
    RemoveFields(ctx, plan, who);
    for (const HeaderField& h : v.headers) {
        std::string value = h.second;
        if (!c.leadingSpace && !value.empty() && value[0] == ' ') value.erase(0, 1);
        if (smfi_addheader(ctx, const_cast<char*>(h.first.c_str()),
                           const_cast<char*>(value.c_str())) != MI_SUCCESS)
            Warn("message %s: header %s could not be added", who.c_str(),
                 EscapeControl(h.first, 80).c_str());
    }
    return SMFIS_CONTINUE;
}

// A message let on goes to the MTA's hold queue.  (Where the MTA does not
// allow holding, the policies were read without it: an infected message is
// refused as its filter said.)  A hold that fails defers the message.
sfsistat PutInHoldQueue(SMFICTX* ctx, Decision& d, const std::string& who) {
    const std::string reason = EscapeControl(d.policy.holdReason, 400);
    if (smfi_quarantine(ctx, const_cast<char*>(reason.c_str())) == MI_SUCCESS)
        return SMFIS_CONTINUE;
    Warn("message %s: the MTA did not take the hold (%s); deferred", who.c_str(), reason.c_str());
    HoldNotTaken(d);
    smfi_setreply(ctx, const_cast<char*>("451"), const_cast<char*>("4.3.0"),
                  const_cast<char*>("Message could not be held for review, try again later"));
    return SMFIS_TEMPFAIL;
}

sfsistat OnEndOfMessage(SMFICTX* ctx) {
    Connection* c = Conn(ctx);
    if (!c->tx) {
        // No envelope was seen, so nothing was checked: never let it through.
        Warn("session: end of message without a transaction; action=tempfail");
        smfi_setreply(ctx, const_cast<char*>("451"), const_cast<char*>("4.3.0"),
                      const_cast<char*>("Message could not be checked, try again later"));
        return SMFIS_TEMPFAIL;
    }
    ActiveMessage active;
    // Shared: the message table keeps the queue file while a filter may
    // still read it; this thread keeps its own hold until the reply.
    std::shared_ptr<Transaction> tx(std::move(c->tx));
    const auto started = Clock::now();
    const char* qid = smfi_getsymval(ctx, const_cast<char*>("i"));
    const std::string queueId = EscapeControl(qid ? qid : "-", 64);
    const std::string who = "queue=" + queueId + " from=<" + EscapeControl(tx->env.sender, 200) +
                            "> to=" + EscapeControl(Recipients(*tx), 600);

    if (!CommitMessage(ctx, *c, *tx, who)) {
        HostFigures().Count(Counted::kDeferredSpool);
        return SMFIS_TEMPFAIL;
    }
    Asked a = AskFilters(ctx, *c, tx, queueId, started);
    Decision& d = a.decision;
    sfsistat result = ApplyDecision(ctx, *c, d, who);
    if (d.policy.hold) result = PutInHoldQueue(ctx, d, who);
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

sfsistat OnAbort(SMFICTX* ctx) {
    Connection* c = Conn(ctx);
    c->tx.reset();  // removes a half-written queue file
    return SMFIS_CONTINUE;
}

sfsistat OnClose(SMFICTX* ctx) {
    delete static_cast<Connection*>(smfi_getpriv(ctx));
    smfi_setpriv(ctx, nullptr);
    return SMFIS_CONTINUE;
}

}  // namespace

int DrainMessages(int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (activeMessages > 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return activeMessages;
}

bool RegisterMilter(const HostSettings& s, Filters& f) {
    settings = &s;
    filters = &f;
    site.settings = s.policy;
    site.filters = PolicyFiltersOf(f.Roles());
    site.onFailure.clear();
    for (size_t i = 0; i < f.Count(); ++i)
        site.onFailure.push_back(s.onFailure.For(f.Name(i), f.Role(i)));
    static struct smfiDesc desc = {};
    desc.xxfi_name = const_cast<char*>("tarnwick-milter");
    desc.xxfi_version = SMFI_VERSION;
    desc.xxfi_flags =
        SMFIF_ADDHDRS | SMFIF_CHGHDRS | (s.policy.HoldsMessages() ? SMFIF_QUARANTINE : 0);
    desc.xxfi_connect = OnConnect;
    desc.xxfi_helo = OnHelo;
    desc.xxfi_envfrom = OnMailFrom;
    desc.xxfi_envrcpt = OnRcptTo;
    desc.xxfi_header = OnHeader;
    desc.xxfi_eoh = OnEndOfHeaders;
    desc.xxfi_body = OnBody;
    desc.xxfi_eom = OnEndOfMessage;
    desc.xxfi_abort = OnAbort;
    desc.xxfi_close = OnClose;
    desc.xxfi_negotiate = Negotiate;
    return smfi_register(desc) == MI_SUCCESS;
}

}  // namespace milter
