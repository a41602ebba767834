// Fuzz target: what the scan engine sends to Tarnwick-AV, read frame by
// frame with the program's frame reader and handed to the reply handlers
// the way the reader thread does (scan results to HandleScanResult, engine
// information to handleInfoReply, other tags dropped).
//
// Input: one byte of choices (Mode in bits 0-1, bit 7 leaves the replies
// without a pending request), two bytes of envelope length and the envelope
// of the pending requests, then the byte stream of the engine: frames with
// their 4-byte length prefix, scan report trees of any shape inside.
//
// Each handled scan result must write exactly the answer the verdict rules
// give it (the virus name escaped so that the quoted text stays one quoted
// text on one line) and take its pending request; everything else the
// handlers write must be log lines, each beginning with "* ".
#include <sys/mman.h>
#include <unistd.h>

#include <google/protobuf/stubs/logging.h>

#include <algorithm>
#include <string>
#include <vector>

#include "av/av.h"
#include "common/base/log.h"
#include "common/base/text.h"
#include "common/engine/engine.h"
#include "common/engine/pending.h"
#include "common/stats/reportlist.h"
#include "fuzz_common.h"
#include "fuzz_reply.h"
#include "quillon_se_api.pb.h"

namespace {

constexpr int maxFramesPerInput = 200;
const char* const settingsText =
    "NotificationMessage = { Caption = \"Virus found: \"; Summary = \"^1 virus(es) found\\e\";"
    " Footer = \"Message rejected\"; };";

std::shared_ptr<const avSettings> modes[3];

std::shared_ptr<const avSettings> makeSettings(int mode) {
    auto s = std::make_shared<avSettings>();
    std::unique_ptr<cfgfItem> tree = cfgfReadConfigText(settingsText, "fuzz-av.cfg");
    if (!tree) abort();
    ReadNotificationSettings(tree.get(), *s);
    s->opMode = mode;
    s->addHeaderStr = "X-Virus: ^1";
    // Neither the shell nor the submission directory belongs in a fuzz run.
    s->doNotifyRecipeints = false;
    s->doPostProcess = false;
    s->statDumpFileName = "statistics-av.dat";
    return s;
}

void walk(const ql::ScanReport& report, std::string& first, int& count) {
    for (const ql::Virus& virus : report.virus()) {
        if (!virus.has_name()) continue;
        // The name lands in a C field: a zero byte ends it there, and a
        // name that ends up empty leaves the field free for the next one.
        if (first.empty())
            first = virus.name().substr(0, std::min<size_t>(virus.name().find('\0'), 79));
        ++count;
    }
    for (const ql::ScanReport& child : report.item()) walk(child, first, count);
}

// The server's quoted-string form of a virus name, at most 79 characters,
// never ending in half an escape pair.  A zero byte ends the text, as it
// ends the %s that prints it.
std::string escaped(const std::string& name) {
    std::string out;
    for (char c : name) {
        if (c == '\r' || c == '\n') continue;
        const size_t need = (c == '\\' || c == '"') ? 2 : 1;
        if (out.size() + need > 79) break;
        if (need == 2) out += '\\';
        out += c;
    }
    return out.substr(0, out.find('\0'));
}

std::string expectedAnswer(const ql::ServerMessage& message, int mode) {
    const int seq = static_cast<int32_t>(message.serial());
    const std::string n = std::to_string(seq);
    if (!message.has_scan_report()) return n + " FAILURE no scan report returned\n";
    const ql::ScanReport& report = message.scan_report();
    if (report.has_error())
        return n + " FAILURE error=" + ql::ScanError_Name(report.error()) + "\n";
    std::string first;
    int count = 0;
    walk(report, first, count);
    if (count == 0) return n + " OK\n";
    const std::string name = escaped(first);
    const std::string virusText = name + "\\e";
    switch (mode) {
        case 0:
            return n + " ERROR \"Virus found: " + virusText + std::to_string(count) +
                   " virus(es) found\\eMessage rejected\"\n";
        case 1:
            return "* (" + n + ") " + virusText + "\n" + n + " DISCARD\n";
        default:
            return n + " ADDHEADER \"X-Virus: " + name + "\"\n";
    }
}

void checkLogOnly(const std::string& written, const char* what) {
    FUZZ_CHECK(written.empty() || written.back() == '\n', "%s: output does not end a line: '%s'",
               what, written.c_str());
    for (size_t at = 0; at < written.size();) {
        FUZZ_CHECK(written.compare(at, 2, "* ") == 0, "%s: a line that is not a log line: '%s'",
                   what, written.c_str() + at);
        at = written.find('\n', at) + 1;
    }
}

void clearLists() {
    stats.UseSection(avProgram.MakeStatSection());
    stats.ClearLists();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::CaptureStdout();
    // The library logs every string field with bytes that are not UTF-8 on
    // standard error; fuzzed frames are full of them.
    google::protobuf::SetLogHandler(nullptr);
    thisProgram = &avProgram;
    thisProcess = &avProgram.identity;
    workPath = curDir = fuzz::ScratchDirectory();
    tempDir = curDir + "Temp/";
    for (int mode = 0; mode < 3; ++mode) modes[mode] = makeSettings(mode);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::ResetStdout();
    fuzz::reader in(data, size);
    const uint8_t choices = in.Byte();
    const int mode = (choices & 3) % 3;
    const bool queue = (choices & 0x80) == 0;
    const std::string envelope = in.Bytes(in.Short());
    const std::string stream = in.Rest();
    PublishSettings(modes[mode]);

    int fd = memfd_create("engine-stream", MFD_CLOEXEC);
    if (fd < 0) abort();
    if (!stream.empty() &&
        write(fd, stream.data(), stream.size()) != static_cast<ssize_t>(stream.size()))
        abort();
    lseek(fd, 0, SEEK_SET);

    ql::ServerMessage message;
    for (int frame = 0; frame < maxFramesPerInput; ++frame) {
        try {
            get_answer(message, fd);
        } catch (const replyTooLarge& reply) {
            fuzz::CheckRefused(reply, queue, RefuseScanReply);
            continue;
        } catch (const std::exception&) {
            break;  // the reader thread would end the process here
        }
        fuzz::CheckItemCount(message);
        const long mark = fuzz::StdoutMark();
        if (message.tag() == ql::ServerMessage::SCAN_FILE_RESULT) {
            const bool queued = queue && message.has_serial();
            if (queued) {
                scanListItem item;
                item.serial = static_cast<int32_t>(message.serial());
                item.token = std::to_string(item.serial);
                item.msgPath = "Queue/fuzz.msg";
                item.envLen = envelope.size();
                item.envelope = envelope;
                timespec_get(&item.start, TIME_UTC);
                ScanListAppend(std::move(item));
            }
            const size_t pendingBefore = ScanListSize();
            HandleScanResult(message);
            const std::string written = fuzz::CapturedSince(mark);
            if (!message.has_serial()) {
                FUZZ_CHECK(written == "* unvalid answer from the scanning engine\n",
                           "no serial: '%s'", written.c_str());
            } else if (queued) {
                const std::string want = expectedAnswer(message, mode);
                FUZZ_CHECK(written == want, "answer '%s', expected '%s'", written.c_str(),
                           want.c_str());
                FUZZ_CHECK(ScanListSize() == pendingBefore - 1, "pending request not taken");
            } else {
                checkLogOnly(written, "unmatched reply");
                FUZZ_CHECK(ScanListSize() == pendingBefore, "a pending request was taken");
            }
        } else if (message.tag() == ql::ServerMessage::INFO_NOTIFICATION) {
            handleInfoReply(message);
            checkLogOnly(fuzz::CapturedSince(mark), "engine information");
        } else {
            FUZZ_CHECK(fuzz::CapturedSince(mark).empty(), "a dropped frame wrote something");
        }
    }
    close(fd);

    for (const scanListItem& item : ScanListSnapshot()) {
        scanListItem taken;
        ScanListTake(item.serial, &taken);
    }
    clearLists();
    return 0;
}
