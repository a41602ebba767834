// sim-scan-engine: a stand-in for the scan engine daemon.  Scans the file
// named by each SCAN_FILE_REQUEST and answers with a report tree; answers a
// SUBSCRIBE_INFO with an INFO_NOTIFICATION.
//
// Findings: the standard anti-virus test file gives "EICAR-Test-File" on the
// root; marker lines in the scanned file choose other outcomes:
//   X-Sim-Virus: NAME        NAME inside a nested part (repeatable)
//   X-Sim-Root-Virus: NAME   NAME on the root itself (repeatable)
//   X-Sim-Nested: N          an archive with N infected members
//   X-Sim-Error: SE_NAME     root error
//   X-Sim-Child-Error: SE_NAME  error on a nested part only
//   X-Sim-Fixed: OUTCOME     as --fixed, for this file
//   X-Sim-Delay-Ms: N        this answer waits N ms longer
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/base/text.h"
#include "quillon_se_api.pb.h"
#include "sim/simcore.h"

namespace {

constexpr const char* engineName = "sim-scan-engine";
constexpr size_t maxScanBytes = 64u << 20;
constexpr long long maxNested = 1000;

struct scanOptions {
    std::string infoVersion = "Sim Scan Engine 1.0";
    uint64_t infoStamp = 1606780800;  // 2020-12-01 00:00:00 UTC
    bool noInfo = false;
    bool scanFileInfo = false;
};

// Kept in two halves so that this source is not itself taken for the test
// file by a scanner on the developer's machine.
std::string TestFileSignature() {
    return std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$") +
           "EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
}

ql::ScanError ErrorByName(const std::string& name) {
    ql::ScanError error = ql::SE_UNEXPECTED_ERROR;
    if (!ql::ScanError_Parse(name, &error))
        fprintf(stderr, "%s: unknown error name '%s', using SE_UNEXPECTED_ERROR\n", engineName,
                name.c_str());
    return error;
}

void AddVirus(ql::ScanReport* report, const std::string& name) {
    ql::Virus* virus = report->add_virus();
    virus->set_type(ql::SE_KNOWN_VIRUS);
    virus->set_name(name);
}

ql::ScanReport* AddItem(ql::ScanReport* parent, const std::string& object) {
    ql::ScanReport* item = parent->add_item();
    item->set_object(object);
    return item;
}

// Reads the file the way an engine would and says why it could not.
bool ReadScanned(const std::string& path, std::string& content, ql::ScanError& error) {
    if (path.empty() || path[0] != '/') {
        error = ql::SE_PATH_NOT_ABSOLUTE;
        return false;
    }
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = errno == ENOENT         ? ql::SE_FILE_NOT_FOUND
                : errno == EACCES       ? ql::SE_NO_ACCESS
                : errno == ENAMETOOLONG ? ql::SE_NAME_TOO_LONG
                                        : ql::SE_READ_ERROR;
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        error = ql::SE_FILE_NOT_REGULAR;
        return false;
    }
    content.clear();
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            close(fd);
            error = ql::SE_READ_ERROR;
            return false;
        }
        if (n == 0) break;
        content.append(buffer, static_cast<size_t>(n));
        if (content.size() >= maxScanBytes) break;  // like an engine's size limit: scan the head
    }
    close(fd);
    return true;
}

// Applies a fixed outcome; false when the text names none.
// `answer` is cleared when the outcome is "none" (no reply at all).
bool ApplyFixed(const std::string& fixed, ql::ServerMessage& message, bool& answer) {
    ql::ScanReport* root = message.mutable_scan_report();
    if (fixed == "clean") return true;
    if (fixed == "noreport") {
        message.clear_scan_report();
        return true;
    }
    if (fixed == "none") {
        answer = false;
        return true;
    }
    if (fixed.compare(0, 6, "virus:") == 0 && fixed.size() > 6) {
        AddVirus(root, fixed.substr(6));
        return true;
    }
    if (fixed.compare(0, 6, "error:") == 0 && fixed.size() > 6) {
        root->set_error(ErrorByName(fixed.substr(6)));
        return true;
    }
    return false;
}

sim::reply HandleScan(const scanOptions& scanOpt, const sim::options& opt,
                      const ql::ClientMessage& request) {
    sim::reply out;
    out.isRequest = true;
    const std::string path =
        request.has_scan_file_request() ? request.scan_file_request().path() : "";
    out.logLine = "SCAN serial=" +
                  (request.has_serial() ? std::to_string(request.serial()) : std::string("-")) +
                  " path=" + EscapeControl(path, 4096);
    if (!request.has_scan_file_request()) {
        out.logLine += " (no scan_file_request: ignored)";
        out.isRequest = false;
        return out;
    }

    ql::ServerMessage message;
    message.set_tag(ql::ServerMessage::SCAN_FILE_RESULT);
    if (request.has_serial()) message.set_serial(request.serial());
    ql::ScanReport* root = message.mutable_scan_report();
    root->set_object(path);

    bool answer = true;
    std::string content;
    ql::ScanError readError = ql::SE_UNEXPECTED_ERROR;
    const bool readable = ReadScanned(path, content, readError);
    if (readable) root->set_size(content.size());

    std::string fixed = opt.fixed;
    std::string value;
    if (fixed.empty() && readable && sim::MarkerValue(content, "X-Sim-Fixed", value)) fixed = value;

    if (!fixed.empty()) {
        if (!ApplyFixed(fixed, message, answer))
            fprintf(stderr, "%s: unknown fixed outcome '%s'\n", engineName, fixed.c_str());
    } else if (!readable) {
        root->set_error(readError);
    } else {
        if (content.find(TestFileSignature()) != std::string::npos)
            AddVirus(root, "EICAR-Test-File");
        for (const std::string& name : sim::MarkerValues(content, "X-Sim-Root-Virus"))
            AddVirus(root, name);
        int part = 0;
        for (const std::string& name : sim::MarkerValues(content, "X-Sim-Virus"))
            AddVirus(AddItem(root, path + "//part" + std::to_string(++part)), name);
        long long nested = 0;
        if (sim::MarkerValue(content, "X-Sim-Nested", value) && sim::ParseInt(value, nested) &&
            nested > 0) {
            ql::ScanReport* archive = AddItem(root, path + "//attachment.zip");
            archive->mutable_archive()->set_type(ql::SE_ARCHIVE);
            archive->mutable_archive()->set_name("ZIP");
            for (long long i = 1; i <= std::min(nested, maxNested); ++i) {
                ql::ScanReport* member = AddItem(
                    archive, path + "//attachment.zip//member" + std::to_string(i) + ".exe");
                AddVirus(member, "Sim.Nested." + std::to_string(i));
            }
        }
        if (sim::MarkerValue(content, "X-Sim-Child-Error", value))
            AddItem(root, path + "//damaged.rar")->set_error(ErrorByName(value));
        if (sim::MarkerValue(content, "X-Sim-Error", value)) root->set_error(ErrorByName(value));
    }

    long long extra = 0;
    if (readable && sim::MarkerValue(content, "X-Sim-Delay-Ms", value) &&
        sim::ParseInt(value, extra) && extra > 0)
        out.extraDelayMs = static_cast<int>(std::min<long long>(extra, 3600000));

    if (!answer) return out;
    if (scanOpt.scanFileInfo) {
        ql::ServerMessage info;
        info.set_tag(ql::ServerMessage::SCAN_FILE_INFO);
        if (request.has_serial()) info.set_serial(request.serial());
        out.frames.push_back(info.SerializeAsString());
    }
    out.frames.push_back(message.SerializeAsString());
    return out;
}

sim::reply Handle(const scanOptions& scanOpt, const sim::options& opt, const std::string& body) {
    ql::ClientMessage request;
    sim::reply out;
    if (!request.ParseFromString(body)) {
        out.logLine = "UNKNOWN frame of " + std::to_string(body.size()) +
                      " bytes: " + EscapeControl(body, 32);
        return out;
    }
    switch (request.tag()) {
        case ql::ClientMessage::SCAN_FILE_REQUEST:
            return HandleScan(scanOpt, opt, request);
        case ql::ClientMessage::SUBSCRIBE_INFO: {
            out.logLine = "SUBSCRIBE_INFO";
            if (scanOpt.noInfo) return out;
            ql::ServerMessage info;
            info.set_tag(ql::ServerMessage::INFO_NOTIFICATION);
            ql::SEAppInfo* app = info.mutable_info();
            app->set_engine_version(scanOpt.infoVersion);
            app->set_base_stamp(scanOpt.infoStamp);
            app->set_max_forks(4);
            ql::SEVirusBase* base = app->add_virus_base();
            base->set_path("sim/bases/main.avb");
            base->set_virus_records(1);
            out.frames.push_back(info.SerializeAsString());
            return out;
        }
        case ql::ClientMessage::UNSUBSCRIBE_INFO:
            out.logLine = "UNSUBSCRIBE_INFO";
            return out;
    }
    out.logLine = "UNKNOWN tag " + std::to_string(request.tag());
    return out;
}

void Usage() {
    fprintf(stderr,
            "usage: %s SOCKET [options]\n"
            "  --fixed OUTCOME       clean | virus:NAME | error:SE_NAME | noreport | none\n"
            "  --info-version TEXT   engine_version of the information notification\n"
            "  --info-stamp N        base_stamp (seconds since 1970)\n"
            "  --no-info             leave SUBSCRIBE_INFO unanswered\n"
            "  --scan-file-info      send a SCAN_FILE_INFO frame before each result\n"
            "%s",
            engineName, sim::CommonUsage());
}

}  // namespace

int main(int argc, char** argv) {
    GOOGLE_PROTOBUF_VERIFY_VERSION;
    sim::options opt;
    scanOptions scanOpt;
    auto ownOption = [&scanOpt](int argc, char** argv, int& i) {
        const std::string arg = argv[i];
        long long n = 0;
        if (arg == "--info-version" && i + 1 < argc) {
            scanOpt.infoVersion = argv[++i];
        } else if (arg == "--info-stamp" && i + 1 < argc && sim::ParseInt(argv[i + 1], n) &&
                   n >= 0) {
            scanOpt.infoStamp = static_cast<uint64_t>(n);
            ++i;
        } else if (arg == "--no-info") {
            scanOpt.noInfo = true;
        } else if (arg == "--scan-file-info") {
            scanOpt.scanFileInfo = true;
        } else {
            return false;
        }
        return true;
    };
    auto fixedValid = [](const std::string& fixed) {
        bool unused = true;
        ql::ServerMessage probe;
        return ApplyFixed(fixed, probe, unused);
    };
    bool serve = false;
    int status =
        sim::ParseCommandLine(argc, argv, engineName, Usage, opt, ownOption, fixedValid, serve);
    if (!serve) return status;
    sim::Serve(engineName, opt,
               [&scanOpt, &opt](const std::string& body) { return Handle(scanOpt, opt, body); });
}
