// Fuzz target: what quillon-clamd makes of a frame body from a client: the
// body read as a request (ReadClamdFrame), a scan request answered with
// libclamav (AnswerScan), a subscription answered with the engine
// information (DescribeEngine).
//
// The engine is loaded once from a scratch database holding one body
// signature, Tarnwick.Fuzz.Marker for the text TWFUZZMARK.  An absolute
// path in a request is replaced by one of a few scratch paths, so that the
// scanner never wanders through the machine's files: a file with the
// input's content, an empty file, a missing file, a directory, a FIFO, a
// link (never followed), a name too long, a path through a file; every
// scan is limited to the scratch directory, as --allow-dir does.  Relative
// paths, paths with a zero byte and paths with a ".." component are kept as
// they came; they must be refused before any file is touched.
//
// Input: one byte of choices (bits 0-2: the scratch path), two bytes of
// body length, the frame body, then the content of the scanned file.
//
// Properties: a body is refused exactly when it is no request; every reply
// is complete and survives the wire; a scan result carries the request's
// serial and path, the error that belongs to the kind of path, never an
// error beside a finding, each finding once with the type its name says,
// the size of a scanned file, and the marker when the file opens with it.
#include <clamav.h>
#include <google/protobuf/stubs/logging.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <set>
#include <string>

#include "engines/clamd/clamav_scan.h"
#include "common/base/daemonlog.h"
#include "engines/kit/daemon_options.h"
#include "fuzz_common.h"
#include "quillon_se_api.pb.h"

namespace {

const char kMarker[] = "TWFUZZMARK";
const char kMarkerName[] = "Tarnwick.Fuzz.Marker";
constexpr unsigned kWorkers = 3;
constexpr time_t kDatabaseTime = 1700000000;

std::string scratch;
std::shared_ptr<const engined::LoadedEngine> loaded;

struct Target {
    std::string path;
    bool hasContent;         // the file holds the input's content
    ql::ScanError expected;  // 0: scanned
};

std::string Hex(const std::string& text) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

void WriteFile(const std::string& path, const std::string& content) {
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) abort();
    if (!content.empty() && fwrite(content.data(), 1, content.size(), f) != content.size()) abort();
    if (fclose(f) != 0) abort();
}

extern "C" void Quiet(enum cl_msg, const char*, const char*, void*) {}

// libFuzzer ends with exit(): leave no scratch files behind.
void RemoveScratch() {
    for (const char* name : {"db/fuzz.ndb", "file", "empty", "fifo", "dangling"})
        unlink((scratch + name).c_str());
    for (const char* name : {"db", "sub", ""}) rmdir((scratch + name).c_str());
}

Target Choose(unsigned choice) {
    switch (choice & 7) {
        case 0:
            return {scratch + "file", true, ql::ScanError(0)};
        case 1:
            return {scratch + "nowhere", false, ql::SE_FILE_NOT_FOUND};
        case 2:
            return {scratch + "sub", false, ql::SE_FILE_NOT_REGULAR};
        case 3:
            return {scratch + "fifo", false, ql::SE_FILE_NOT_REGULAR};
        case 4:
            // A link is never followed, dangling or not.
            return {scratch + "dangling", false, ql::SE_FILE_NOT_REGULAR};
        case 5:
            return {scratch + std::string(300, 'n'), false, ql::SE_NAME_TOO_LONG};
        case 6:
            return {scratch + "file/below", false, ql::SE_FILE_NOT_FOUND};
        default:
            return {scratch + "empty", false, ql::ScanError(0)};
    }
}

// Whether a component of path is "..", judged component by component.
bool ClimbsUp(const std::string& path) {
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (path.compare(start, end - start, "..") == 0) return true;
        start = end + 1;
    }
    return false;
}

ql::VirusType TypeOfName(const std::string& name) {
    if (name.compare(0, 11, "Heuristics.") == 0) return ql::SE_UNKNOWN_VIRUS;
    if (name.compare(0, 4, "PUA.") == 0) return ql::SE_RISKWARE;
    return ql::SE_KNOWN_VIRUS;
}

void CheckWire(const ql::ServerMessage& reply) {
    FUZZ_CHECK(reply.IsInitialized(), "reply lacks %s", reply.InitializationErrorString().c_str());
    std::string wire;
    FUZZ_CHECK(reply.SerializeToString(&wire), "reply does not serialise");
    ql::ServerMessage received;
    FUZZ_CHECK(received.ParseFromString(wire) && received.SerializeAsString() == wire,
               "reply does not read back");
}

void CheckScan(ql::ClientMessage request, uint8_t choices, const std::string& content) {
    Target target{"", false, ql::ScanError(0)};
    bool opens = false;
    if (request.has_scan_file_request()) {
        const std::string& path = request.scan_file_request().path();
        opens = !path.empty() && path[0] == '/' && path.find('\0') == std::string::npos &&
                !ClimbsUp(path);
        if (opens) {
            target = Choose(choices);
            request.mutable_scan_file_request()->set_path(target.path);
            if (target.hasContent) WriteFile(target.path, content);
        }
    }

    ql::ServerMessage reply;
    engined::AnswerScan(*loaded, request, reply);
    CheckWire(reply);
    FUZZ_CHECK(reply.tag() == ql::ServerMessage::SCAN_FILE_RESULT, "tag %d", reply.tag());
    FUZZ_CHECK(reply.has_serial() == request.has_serial() && reply.serial() == request.serial(),
               "serial %u for %u", reply.serial(), request.serial());
    FUZZ_CHECK(reply.has_scan_report() && !reply.has_info(), "no report");
    const ql::ScanReport& report = reply.scan_report();
    FUZZ_CHECK(report.item_size() == 0, "a flat report has no items");

    if (!request.has_scan_file_request()) {
        FUZZ_CHECK(report.object().empty() && report.error() == ql::SE_PATH_NOT_ABSOLUTE,
                   "request without a path");
        return;
    }
    const std::string& path = request.scan_file_request().path();
    FUZZ_CHECK(report.object() == path, "object '%s' for '%s'", report.object().c_str(),
               path.c_str());
    if (!opens) {
        const ql::ScanError want = path.empty() || path[0] != '/' ? ql::SE_PATH_NOT_ABSOLUTE
                                   : path.find('\0') != std::string::npos
                                       ? ql::SE_FILE_NOT_FOUND
                                       : ql::SE_PATH_NOT_ABSOLUTE;
        FUZZ_CHECK(report.has_error() && report.error() == want && report.virus_size() == 0 &&
                       !report.has_size(),
                   "path of %zu bytes: error %d, expected %d", path.size(), report.error(), want);
        return;
    }
    if (target.expected != 0) {
        FUZZ_CHECK(
            report.has_error() && report.error() == target.expected && report.virus_size() == 0,
            "%s: error %d, expected %d", target.path.c_str(), report.error(), target.expected);
        return;
    }

    const std::string scanned = target.hasContent ? content : "";
    FUZZ_CHECK(report.has_size() && report.size() == scanned.size(),
               "size %llu of a file of %zu bytes", static_cast<unsigned long long>(report.size()),
               scanned.size());
    // A finding settles the verdict; an error would turn it into "not scanned".
    FUZZ_CHECK(!report.has_error() || report.virus_size() == 0, "error %d beside %d findings",
               report.error(), report.virus_size());
    FUZZ_CHECK(static_cast<size_t>(report.virus_size()) <= engined::maxFindings, "%d findings",
               report.virus_size());
    std::set<std::string> names;
    bool marker = false;
    for (const ql::Virus& virus : report.virus()) {
        FUZZ_CHECK(!virus.name().empty() && names.insert(virus.name()).second,
                   "finding '%s' empty or repeated", virus.name().c_str());
        FUZZ_CHECK(virus.type() == TypeOfName(virus.name()), "type %d for %s", virus.type(),
                   virus.name().c_str());
        if (virus.name().compare(0, sizeof kMarkerName - 1, kMarkerName) == 0) marker = true;
    }
    // ClamAV leaves the content of some file types unmatched (a file that
    // opens like RealMedia, say); one that opens with the marker has no
    // such type.
    if (scanned.compare(0, sizeof kMarker - 1, kMarker) == 0) {
        FUZZ_CHECK(marker || report.has_error(),
                   "the marker at the start of a file of %zu bytes was missed", scanned.size());
    }
}

void CheckInfo() {
    ql::ServerMessage notification;
    engined::DescribeEngine(*loaded, kWorkers, notification);
    CheckWire(notification);
    FUZZ_CHECK(
        notification.tag() == ql::ServerMessage::INFO_NOTIFICATION && !notification.has_serial(),
        "tag %d", notification.tag());
    const ql::SEAppInfo& info = notification.info();
    FUZZ_CHECK(info.engine_version().compare(0, 7, "ClamAV ") == 0, "version '%s'",
               info.engine_version().c_str());
    FUZZ_CHECK(
        info.max_forks() == kWorkers && info.base_stamp() == static_cast<uint64_t>(kDatabaseTime),
        "forks %u, stamp %llu", info.max_forks(),
        static_cast<unsigned long long>(info.base_stamp()));
    FUZZ_CHECK(info.virus_base_size() == 1 && info.virus_base(0).virus_records() == 1, "%d bases",
               info.virus_base_size());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The library logs every string field with bytes that are not UTF-8.
    google::protobuf::SetLogHandler(nullptr);
    daemonlog::SetStream(nullptr);
    cl_set_clcb_msg(Quiet);
    if (cl_init(CL_INIT_DEFAULT) != CL_SUCCESS) abort();

    scratch = fuzz::ScratchDirectory();
    atexit(RemoveScratch);
    const std::string db = scratch + "db";
    if (mkdir(db.c_str(), 0700) != 0) abort();
    const std::string signatures = db + "/fuzz.ndb";
    WriteFile(signatures, std::string(kMarkerName) + ":0:*:" + Hex(kMarker) + "\n");
    const timespec times[2] = {{kDatabaseTime, 0}, {kDatabaseTime, 0}};
    if (utimensat(AT_FDCWD, signatures.c_str(), times, 0) != 0) abort();
    WriteFile(scratch + "empty", "");
    WriteFile(scratch + "file", "");
    if (mkdir((scratch + "sub").c_str(), 0700) != 0) abort();
    if (mkfifo((scratch + "fifo").c_str(), 0600) != 0) abort();
    if (symlink((scratch + "nowhere").c_str(), (scratch + "dangling").c_str()) != 0) abort();

    // Scans are limited to the scratch directory, as --allow-dir does: every
    // path that opens goes through the check of where the file really is.
    engined::ScanSettings settings;
    char real[PATH_MAX];
    if (realpath(scratch.c_str(), real) == nullptr) abort();
    settings.allowDirs.emplace_back(real);
    settings.allowNames.emplace_back(engined::Normalise(scratch));
    loaded = engined::LoadEngine(db, settings);
    if (!loaded) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::reader in(data, size);
    const uint8_t choices = in.Byte();
    const std::string body = in.Bytes(in.Short());
    const std::string content = in.Rest();

    ql::ClientMessage request;
    const engined::ClamdFrame kind = engined::ReadClamdFrame(body, request);
    ql::ClientMessage plain;
    FUZZ_CHECK((kind == engined::ClamdFrame::kMalformed) != plain.ParseFromString(body),
               "body of %zu bytes %s", body.size(),
               kind == engined::ClamdFrame::kMalformed ? "refused" : "accepted");
    switch (kind) {
        case engined::ClamdFrame::kMalformed:
            break;
        case engined::ClamdFrame::kScan:
            FUZZ_CHECK(request.tag() == ql::ClientMessage::SCAN_FILE_REQUEST,
                       "tag %d read as a scan", request.tag());
            CheckScan(request, choices, content);
            break;
        case engined::ClamdFrame::kSubscribe:
            FUZZ_CHECK(request.tag() == ql::ClientMessage::SUBSCRIBE_INFO,
                       "tag %d read as a subscription", request.tag());
            CheckInfo();
            break;
        case engined::ClamdFrame::kUnsubscribe:
            FUZZ_CHECK(request.tag() == ql::ClientMessage::UNSUBSCRIBE_INFO,
                       "tag %d read as a cancellation", request.tag());
            break;
    }
    return 0;
}
