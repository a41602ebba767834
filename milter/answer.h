// Reading the filters' answer lines and turning their texts into what the
// mail server is told: header fields to add and SMTP reply lines.
//
// Everything here is pure: no I/O, no locks.  Input comes from a child
// process that reads mail written by attackers, so every text is checked
// before it reaches the milter protocol: header names are RFC 5322 field
// names, values and reply lines carry no control characters, and the
// counts and lengths below are bounded.
#ifndef TARNWICK_MILTER_ANSWER_H
#define TARNWICK_MILTER_ANSWER_H

#include <string>
#include <utility>

#include <vector>
#include "common/base/daemonlog.h"

namespace milter {

enum class AnswerKind { Ok, AddHeader, Error, Discard, Failure, Other };

struct Answer {
    long token = 0;
    AnswerKind kind = AnswerKind::Other;
    std::string word;  // the answer word as sent (OK, ADDHEADER, ...)
    std::string text;  // decoded quoted text of ADDHEADER/ERROR; the rest of the line otherwise
};

// A line that begins with a decimal token (1 to 2^31-1) and a blank is an
// answer; anything else (log lines begin with "* ") is not, and false is
// returned.  The quoted text of ADDHEADER and ERROR runs from the first to
// the last double quote and is decoded from the server's quoted-string form
// (backslash-e a line break, backslash-x the character x).
bool ParseAnswer(const std::string& line, Answer& out);

// The tokens of the host's INTF probes start above every request token, so
// no probe's answer is ever taken for a message's (ParseAnswer refuses it).
constexpr unsigned long long kFirstProbeToken = 2147483648ULL;

// True when line answers an INTF probe: a token from kFirstProbeToken up
// (at most 18 digits), blanks, and a word beginning with INTF.
bool ParseProbeAnswer(const std::string& line, unsigned long long& token);

// The priority a filter's log line is passed on with: its errors (engine
// and file failures, the settings reader's reports and the fatal
// "Configuration error:" lines) as errors, what it will try again as
// warnings, the rest (start, stop, counts, re-reading) as information.
daemonlog::Level FilterLineLevel(const std::string& line);

const char* KindName(AnswerKind kind);

// Header fields of a decoded ADDHEADER text, one "Name: value" per line;
// lines beginning with a blank or tab continue the field before them.
// Lines without a valid field name are left out and counted in `skipped`.
// A value keeps its blanks after the colon exactly (the caller decides
// whether the mail server adds one itself).
using HeaderField = std::pair<std::string, std::string>;
std::vector<HeaderField> HeaderFields(const std::string& decoded, int& skipped);

// The names (lower case) of the fields a configured header text adds: the
// text is in the server's quoted-string form, and its lines are read as
// HeaderFields reads an answer's, so a name is taken only where an answer
// would carry it.  A name holding a marker ("^1") is left out: what it
// becomes is known only when the filter fills it.
std::vector<std::string> ConfiguredFieldNames(const std::string& quoted);

// SMTP reply lines for a decoded ERROR text: at most kMaxReplyLines lines
// of at most kMaxReplyLine characters; control characters and bytes above
// 126 become '?', empty lines are dropped; never empty (a fallback text).
constexpr size_t kMaxReplyLines = 16;
constexpr size_t kMaxReplyLine = 400;
std::vector<std::string> ReplyLines(const std::string& decoded, const char* fallback);

// A reply line as the MTA takes it: it reads the text as a format,
// so each "%" is doubled to stand for itself.
std::string MilterReplyText(const std::string& line);

// An answer as the log shows it: the word, then its text quoted with
// control characters escaped (none for OK and DISCARD).
std::string AnswerLogText(const Answer& answer);

}  // namespace milter

#endif
