// What the host writes above the message in a queue file: the envelope
// lines the filters expect, the fields that tell the anti-spam engine about
// the envelope, and the trace field of the last hop.  Pure: no I/O.
//
// Addresses are the MTA's, but their text still comes from the SMTP
// client: they are cut to kMaxAddress characters and lose control
// characters and angle brackets, so they can neither end a line nor break
// the "<...>" form the filters read.
#ifndef TARNWICK_MILTER_QUEUE_HEAD_H
#define TARNWICK_MILTER_QUEUE_HEAD_H

#include <ctime>
#include <string>
#include <vector>

namespace milter {

constexpr size_t kMaxAddress = 512;
constexpr size_t kMaxRecipients = 1000;

struct Envelope {
    std::string clientName;     // as the MTA resolved it ("unknown" when it could not)
    std::string clientAddress;  // textual IP address, may be empty
    std::string sender;         // without angle brackets; empty for the null sender
    std::vector<std::string> recipients;
};

// The envelope block: "S name [address]", "P <sender>", one "R <rcpt>" per
// recipient, each ended by a line feed, then the blank line.
std::string EnvelopeText(const Envelope& env);

// The envelope for the anti-spam engine, as spamass-milter gives it to
// SpamAssassin: "X-Envelope-From: <sender>" and one "X-Envelope-To: <rcpt>"
// per recipient, each ended by a line feed.  They go above every Received
// field: SpamAssassin trusts X-Envelope-From only there.
std::string EnvelopeFields(const Envelope& env);

// The client name as the MTA records it: "unknown" when it has none (the
// MTA then hands over "[address]" or nothing).
std::string ClientName(const char* host);

// The HELO argument as a trace field may show it: its first word of
// printable characters, at most 255.
std::string HeloWord(const char* helo);

// The protocol word of the trace field: "SMTP" when the MTA says the client
// greeted with HELO (Sendmail's r macro), else "ESMTP" with "S" for TLS and
// "A" for an authenticated client.
std::string TraceProtocol(const std::string& r, bool tls, bool authenticated);

// The trace field a mail server puts at the top of a message it receives:
//   Received: from HELO (NAME [ADDRESS])
//   \tby HOST with PROTOCOL id QUEUEID;
//   \tDATE
// ending in a line feed.  The MTA keeps its own for the message it
// delivers; this one lets the filters see the last hop, as in a server's
// queue file (the anti-spam engine judges the client from it).  Each
// outside value loses control characters, parentheses and brackets and is
// cut to 255 characters; empty parts are left out.
std::string ReceivedField(const std::string& helo, const Envelope& env, const std::string& byHost,
                          const std::string& protocol, const std::string& queueId, time_t when);

}  // namespace milter

#endif
