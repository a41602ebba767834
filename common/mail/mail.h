// Generated mail: complete message files handed to the server through its
// submission directory, written under a ".tmp" name and renamed to ".sub"
// when whole, so the server never picks up half a message.
#ifndef TARNWICK_COMMON_MAIL_MAIL_H
#define TARNWICK_COMMON_MAIL_MAIL_H

#include <cstdio>
#include <memory>
#include <string>

struct fileCloser {
    void operator()(FILE* f) const {
        if (f) fclose(f);
    }
};
using filePtr = std::unique_ptr<FILE, fileCloser>;

// Creates dir/prefix[number_]random+suffix exclusively (O_CREAT|O_EXCL,
// mode 0666), up to 10 names.  path receives the created name, or the last
// one tried.  Null when no file could be created (errno tells why).
filePtr OpenTempFile(const std::string& dir, const char* prefix, long number, const char* suffix,
                     std::string& path);
// Renames a closed ".tmp" file to ".sub" (10 tries with waits) and makes it
// readable and writable for all.
void RenameTempToSub(const std::string& path);

void EventReportStarted();
void EventReportStoped();

#endif
