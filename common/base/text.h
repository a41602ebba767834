// Text utilities shared by both filters.  They work on std::string;
// templates are short and come from the settings file, so none of them
// bounds its input.
#ifndef TARNWICK_COMMON_BASE_TEXT_H
#define TARNWICK_COMMON_BASE_TEXT_H

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>

// Replaces every "^n" (n = 1..9) by value; the inserted text is not scanned
// again.  Returns text for convenience.
std::string& SubstStr(std::string& text, int n, const char* value);

// Writes a configured text, turning backslash-e into a line feed and
// backslash-x into x.  A lone trailing backslash is written as is.
void fprintS(FILE* out, const std::string& tmpl);
void fprintS(std::string& out, const std::string& tmpl);

// Text from outside made safe for one log line, the one rule of every log
// in this tree: every control character (below 0x20, and 0x7f) becomes
// \xNN and a backslash is doubled, so a file name or engine text can never
// start a line of its own nor pass for an escape.  Other bytes stay as they
// are.  Past `max` bytes of the text the rest is left out and "..." marks
// the cut.
std::string EscapeControl(std::string_view text, size_t max = std::string_view::npos);

bool EqualStringsNoCase(const char* a, const char* b);

// Decimal text to a signed 32-bit value the way atoi reads it: leading
// blanks and one sign, digits up to the first non-digit, 0 without digits.
// Overflow saturates instead of being undefined.
int32_t xAtoi(const char* text);

// "Mon, 5 Jan 2026 07:08:09", local time; empty if the time has no local
// representation.
std::string mkDate(time_t t);
// Whether two times fall on the same local calendar day.
bool SameLocalDay(time_t a, time_t b);
// English three-letter names; any index is taken modulo 7 or 12.
const char* WeekDayName(int day);
const char* MonthName(int month);

// The rule for an address of generated mail that is handed to sendmail
// (the milter host's submitter): local@domain, the local part a dot-atom (RFC 5322 atext and bytes
// from 0x80 up, as an SMTPUTF8 mailbox holds them), the domain a dot-atom of letters, digits, '-',
// '_' and bytes from 0x80 up, or an address literal of letters, digits, '.', ':' and '-' in
// brackets; at most maxSendableAddress bytes and never beginning with '-' (sendmail would read an
// option).  Such an address reads back as itself in a To: or Bcc: field and is one argument of
// sendmail after "--".
constexpr size_t maxSendableAddress = 320;
bool SendableAddress(std::string_view address);

#endif
