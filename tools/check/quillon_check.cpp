// quillon-check: asks an engine daemon by hand, as clamdscan and spamc do.
// With --scan-engine it asks for the engine information (the ping) or has
// each named file scanned; with --spam-engine it has a one-line message
// rated (the ping) or the message in the named file (or standard input).
// Prints one line per answer and exits 0 (clean, ham, or the engine
// answered the ping), 1 (a file infected, a message spam) or 2 (an error:
// no answer, an error reply, a file that could not be scanned).
//
// Both engine schemas name their messages ql.ClientMessage and
// ql.ServerMessage, so they cannot share a program: the anti-spam schema
// is compiled for this tool into the package qlcheck, which changes no byte
// on the wire.
//
// Inputs: the command line, the daemon's replies (frames bounded by the
// daemons' own limit of 64 MiB), the message to rate (cut to the same).
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "common/base/options.h"
#include "common/base/owners.h"
#include "common/base/text.h"
#include "common/base/version.h"
#include "engines/kit/daemon_options.h"
#include "quillon_ase_api.pb.h"
#include "quillon_se_api.pb.h"

namespace {

using Clock = std::chrono::steady_clock;

enum Status { kClean = 0, kFound = 1, kError = 2 };

const char usage[] =
    "usage: quillon-check --scan-engine SOCKET [--timeout SECONDS] [FILE...]\n"
    "       quillon-check --spam-engine SOCKET [--timeout SECONDS] [MESSAGE-FILE | -]\n"
    "Without files, asks the scan engine for its version and databases, or has\n"
    "the anti-spam engine rate a one-line message.  With files, has each file\n"
    "scanned (the daemon opens it: give a path it may read) or the message rated.\n"
    "Exit status: 0 clean or ham (or the engine answered), 1 infected or spam,\n"
    "2 an error.\n"
    "\n";

class Link {
  public:
    bool Open(const std::string& path, int timeoutSeconds) {
        timeoutSeconds_ = timeoutSeconds;
        sockaddr_un address;
        memset(&address, 0, sizeof address);
        address.sun_family = AF_UNIX;
        if (path.empty() || path.size() >= sizeof address.sun_path) {
            fprintf(stderr, "quillon-check: socket path too long: %s\n", path.c_str());
            return false;
        }
        memcpy(address.sun_path, path.data(), path.size());
        fd_.Reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!fd_.Valid() ||
            connect(fd_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            fprintf(stderr, "quillon-check: cannot connect to %s: %s\n", path.c_str(),
                    strerror(errno));
            return false;
        }
        return true;
    }

    bool Send(const google::protobuf::MessageLite& message) {
        std::string body = message.SerializeAsString();
        uint32_t length = static_cast<uint32_t>(body.size());
        std::string frame(4, '\0');
        for (int i = 0; i < 4; ++i) frame[i] = static_cast<char>((length >> (8 * i)) & 0xff);
        frame += body;
        size_t done = 0;
        while (done < frame.size()) {
            ssize_t n = send(fd_.Get(), frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                fprintf(stderr, "quillon-check: cannot send: %s\n", strerror(errno));
                return false;
            }
            done += static_cast<size_t>(n);
        }
        deadline_ = Clock::now() + std::chrono::seconds(timeoutSeconds_);
        return true;
    }

    // The next frame body, within the time limit of the last Send.
    bool Receive(std::string& body) {
        unsigned char prefix[4];
        if (!ReadExact(reinterpret_cast<char*>(prefix), 4)) return false;
        uint32_t length =
            prefix[0] | prefix[1] << 8 | prefix[2] << 16 | static_cast<uint32_t>(prefix[3]) << 24;
        if (length > engined::maxFrameLength) {
            fprintf(stderr, "quillon-check: the engine sent a frame of %u bytes\n", length);
            return false;
        }
        body.assign(length, '\0');
        return ReadExact(&body[0], length);
    }

  private:
    bool ReadExact(char* buffer, size_t length) {
        size_t done = 0;
        while (done < length) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now());
            pollfd waiting = {fd_.Get(), POLLIN, 0};
            int ready = left.count() > 0 ? poll(&waiting, 1, static_cast<int>(left.count())) : 0;
            if (ready < 0 && errno == EINTR) continue;
            if (ready == 0) {
                fprintf(stderr, "quillon-check: no answer within %d s\n", timeoutSeconds_);
                return false;
            }
            ssize_t n = ready > 0 ? read(fd_.Get(), buffer + done, length - done) : -1;
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                fprintf(stderr, "quillon-check: the engine closed the connection%s%s\n",
                        n < 0 ? ": " : "", n < 0 ? strerror(errno) : "");
                return false;
            }
            done += static_cast<size_t>(n);
        }
        return true;
    }

    UniqueFd fd_;
    int timeoutSeconds_ = 30;
    Clock::time_point deadline_;
};

std::string UtcTime(uint64_t stamp) {
    time_t t = static_cast<time_t>(stamp);
    struct tm utc;
    gmtime_r(&t, &utc);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &utc);
    return text;
}

Status PingScanEngine(Link& link) {
    ql::ClientMessage request;
    request.set_tag(ql::ClientMessage::SUBSCRIBE_INFO);
    std::string body;
    ql::ServerMessage reply;
    if (!link.Send(request)) return kError;
    do {
        if (!link.Receive(body)) return kError;
        if (!reply.ParseFromString(body)) {
            fprintf(stderr, "quillon-check: the engine's answer does not parse\n");
            return kError;
        }
    } while (reply.tag() != ql::ServerMessage::INFO_NOTIFICATION);
    const ql::SEAppInfo& info = reply.info();
    uint64_t records = 0;
    for (const ql::SEVirusBase& base : info.virus_base()) records += base.virus_records();
    long long ageDays =
        (static_cast<long long>(time(nullptr)) - static_cast<long long>(info.base_stamp())) / 86400;
    printf("%s; databases of %s (%lld days old); %d bases, %llu signatures; %u workers\n",
           info.engine_version().c_str(), UtcTime(info.base_stamp()).c_str(), ageDays,
           info.virus_base_size(), static_cast<unsigned long long>(records), info.max_forks());
    return kClean;
}

Status ScanOne(Link& link, uint32_t serial, const std::string& name) {
    char real[PATH_MAX];
    // The daemon takes absolute paths only; resolve what the user typed.
    std::string path = realpath(name.c_str(), real) != nullptr ? real : name;
    ql::ClientMessage request;
    request.set_tag(ql::ClientMessage::SCAN_FILE_REQUEST);
    request.set_serial(serial);
    request.mutable_scan_file_request()->set_path(path);
    if (!link.Send(request)) return kError;
    std::string body;
    ql::ServerMessage reply;
    do {
        if (!link.Receive(body)) return kError;
        if (!reply.ParseFromString(body)) {
            fprintf(stderr, "quillon-check: the engine's answer does not parse\n");
            return kError;
        }
    } while (reply.tag() != ql::ServerMessage::SCAN_FILE_RESULT || reply.serial() != serial);
    const ql::ScanReport& report = reply.scan_report();
    std::vector<std::string> names;
    // Nested reports, should an engine send them, count as much as the root.
    std::vector<const ql::ScanReport*> pending = {&report};
    while (!pending.empty()) {
        const ql::ScanReport* item = pending.back();
        pending.pop_back();
        for (const ql::Virus& virus : item->virus()) names.push_back(virus.name());
        for (const ql::ScanReport& child : item->item()) pending.push_back(&child);
    }
    if (!names.empty()) {
        for (const std::string& virus : names)
            printf("%s: %s FOUND\n", path.c_str(), EscapeControl(virus, 200).c_str());
        return kFound;
    }
    if (report.has_error()) {
        printf("%s: %s ERROR\n", path.c_str(), ql::ScanError_Name(report.error()).c_str());
        return kError;
    }
    printf("%s: OK\n", path.c_str());
    return kClean;
}

bool ReadMessage(const std::string& name, std::string& message) {
    UniqueFile opened(name == "-" ? nullptr : fopen(name.c_str(), "rb"));
    FILE* in = name == "-" ? stdin : opened.get();
    if (in == nullptr) {
        fprintf(stderr, "quillon-check: cannot open %s: %s\n", name.c_str(), strerror(errno));
        return false;
    }
    char buffer[65536];
    size_t n;
    const size_t limit = engined::maxFrameLength - 1024;
    while ((n = fread(buffer, 1, sizeof buffer, in)) > 0 && message.size() < limit)
        message.append(buffer, std::min(n, limit - message.size()));
    bool failed = ferror(in) != 0;
    if (failed) fprintf(stderr, "quillon-check: cannot read %s\n", name.c_str());
    return !failed;
}

Status Rate(Link& link, const std::string& label, const std::string& message, bool ping) {
    qlcheck::ClientMessage request;
    request.set_tag(qlcheck::ClientMessage::GET_SPAM_REPORT_REQUEST);
    request.set_serial(1);
    request.set_message(message);
    std::string body;
    qlcheck::ServerMessage reply;
    if (!link.Send(request) || !link.Receive(body)) return kError;
    if (!reply.ParseFromString(body)) {
        fprintf(stderr, "quillon-check: the engine's answer does not parse\n");
        return kError;
    }
    if (reply.has_error() || !reply.has_spam_report()) {
        printf("%s: ERROR %s: %s\n", label.c_str(),
               qlcheck::ErrorCode_Name(reply.error().code()).c_str(),
               EscapeControl(reply.error().what(), 1000).c_str());
        return kError;
    }
    const qlcheck::SpamReport& report = reply.spam_report();
    const bool spam = report.score().state() == qlcheck::VR_SPAM;
    printf("%s: %s engine score %lld, %s\n", label.c_str(), spam ? "SPAM" : "ham",
           static_cast<long long>(report.score().score()),
           EscapeControl(report.details(), 4000).c_str());
    return spam && !ping ? kFound : kClean;
}

}  // namespace

int main(int argc, char** argv) {
    std::string scanSocket, spamSocket;
    unsigned timeout = 30;
    OptionTable table("quillon-check", usage, "", std::string("quillon-check ") + tarnwickVersion);
    table.Add({
        TextOption("scan-engine", "SOCKET", "the socket of a scan engine daemon", &scanSocket),
        TextOption("spam-engine", "SOCKET", "the socket of an anti-spam engine daemon",
                   &spamSocket),
        NumberOption("timeout", "SECONDS", "wait for each answer", 1, 3600, &timeout),
    });
    const int next = ParseOrExit(table, argc, argv);
    if (scanSocket.empty() == spamSocket.empty()) {
        fprintf(stderr, "quillon-check: give --scan-engine or --spam-engine\n");
        table.WriteHelp(stderr);
        return kError;
    }
    std::vector<std::string> files(argv + next, argv + argc);
    Link link;
    if (!link.Open(scanSocket.empty() ? spamSocket : scanSocket, static_cast<int>(timeout)))
        return kError;

    if (!scanSocket.empty()) {
        if (files.empty()) return PingScanEngine(link);
        Status worst = kClean;
        uint32_t serial = 0;
        for (const std::string& file : files) {
            Status status = ScanOne(link, ++serial, file);
            // As clamdscan: a finding outranks an error elsewhere.
            if (status == kFound || (status == kError && worst == kClean)) worst = status;
        }
        return worst;
    }
    if (files.size() > 1) {
        fprintf(stderr, "quillon-check: one message at a time\n");
        return kError;
    }
    if (files.empty())
        return Rate(link, "ping",
                    "From: quillon-check@localhost\r\nSubject: quillon-check\r\n\r\nping\r\n",
                    true);
    std::string message;
    if (!ReadMessage(files[0], message)) return kError;
    return Rate(link, files[0], message, false);
}
