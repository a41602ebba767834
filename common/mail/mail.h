// Generated mail: complete message files handed to the server through its
// submission directory, written under a ".tmp" name and renamed to ".sub"
// when whole, so the server never picks up half a message.
#ifndef TARNWICK_COMMON_MAIL_MAIL_H
#define TARNWICK_COMMON_MAIL_MAIL_H

#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "common/base/owners.h"

// A generated message's open file (its owner closes it on every early return).
using filePtr = UniqueFile;

// Mode of a submitted file: the server reads it, nobody else writes it.
constexpr unsigned submittedMode = 0644;

// Creates dir/prefix[number_]random+suffix exclusively (O_CREAT|O_EXCL,
// never through a link, mode 0644), up to 10 names.  path receives the created name, or the last
// one tried.  Null when no file could be created (errno tells why).
filePtr OpenTempFile(const std::string& dir, const char* prefix, long number, const char* suffix,
                     std::string& path);
// Restarts the sequence of random name parts from `seed` (tests only; the
// programs never seed it, so every run uses the same sequence).
void TempNameSeed(unsigned seed);
// Finishes a generated message: checks that every write and the close
// succeeded, sets submittedMode on the open file and renames it to ".sub".
// A file that could not be written whole is removed, logged, and false is
// returned: nothing is submitted unless it is whole.
bool SubmitTempFile(filePtr out, const std::string& path);
// Renames a closed ".tmp" file to ".sub" (10 tries with waits); false
// (logged) when it never succeeds, the whole ".tmp" left for the
// administrator.
bool RenameTempToSub(const std::string& path);
// The same with the wait between tries supplied (tests).
bool RenameTempToSub(const std::string& path, void (*sleepSeconds)(unsigned));

// One line of a generated header.  Configured texts are written with the
// escape decoding of fprintS; raw values (addresses read from a queue file)
// are written as they stand.  A null value is written as an empty one.
struct mailHeaderField {
    const char* name;  // "From: ", or null for an ExtraHeaders text
    std::string value;
    bool raw;
};
mailHeaderField MailHeader(const char* name, const char* value);
mailHeaderField MailRawHeader(const char* name, const std::string& value);
mailHeaderField MailExtraHeaders(const char* value);

// "Return-Path: <>", the fields in the caller's order, and the one empty
// line that ends the header.  Empty lines that a field's text would put
// inside the header (an empty ExtraHeaders, a trailing backslash-e) are
// dropped, so the body never starts early.
std::string FormatMailHeader(const std::vector<mailHeaderField>& fields);
void WriteMailHeader(FILE* out, const std::vector<mailHeaderField>& fields);

// "Qln_" + the program's mail tag + "_" + kind + "_", e.g. Qln_AV_daily_.
std::string MailPrefix(const char* kind);

void EventReportStarted();
void EventReportStoped();
// The same with the report time supplied (tests).
void EventReportAt(bool started, time_t now);

#endif
