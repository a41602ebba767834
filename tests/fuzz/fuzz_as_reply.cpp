// Fuzz target: what the anti-spam engine sends to Tarnwick-AS, read frame by
// frame with the program's frame reader and dispatched the way the reader
// thread does it: replies of another tag are dropped, a reply without serial
// is an incorrect answer that ends the reader (and the process), an error
// reply goes to HandleSpamError, one without report ends the reader too, the
// rest goes to HandleSpamReport.
//
// Input: one byte of choices (bit 0 picks one of two settings, bit 7 leaves
// the replies without a pending request), two bytes of envelope length and
// the envelope of the pending requests, then the byte stream of the engine
// (frames with their 4-byte length prefix).
//
// Each rated reply with a pending request must write the score log line and
// exactly the ADDHEADER answer of the rescaling and bar rules.
#include <sys/mman.h>
#include <unistd.h>

#include <google/protobuf/stubs/logging.h>

#include <algorithm>
#include <string>

#include "as/as.h"
#include "common/engine/engine.h"
#include "common/engine/pending.h"
#include "common/stats/reportlist.h"
#include "fuzz_common.h"
#include "fuzz_reply.h"
#include "quillon_ase_api.pb.h"

namespace {

constexpr int maxFramesPerInput = 200;
std::shared_ptr<const asSettings> choicesOfSettings[2];

std::shared_ptr<const asSettings> makeSettings(bool odd) {
    auto s = std::make_shared<asSettings>();
    s->statDumpFileName = "statistics-as.dat";
    if (odd) {
        s->pMainHeader = "X-Score: ^1 ^2 ^1^2";
        s->alertLevel = 50;
        s->pAlertHeader = "X-Alert: ^1";
        const int32_t ranges[] = {10, 50, 90};
        std::copy(std::begin(ranges), std::end(ranges), s->scoreRange);
        s->nScoreRanges = 3;
    }
    return s;
}

// The rescaling read the other way round: lowestScore[v] is the least
// engine score that earns v (up to 90 the least s with
// (s + 1000) * 90 >= 1100 * v, above it 100 plus 20 per step), and a score
// earns the highest value whose least score it reaches.
struct rescaleSteps {
    int64_t lowestScore[101];
    rescaleSteps() {
        for (int v = 0; v <= 100; ++v)
            lowestScore[v] = v <= 90 ? (1100 * v + 89) / 90 - 1000 : 100 + 20 * (v - 90);
    }
    int operator()(int32_t s) const {
        return static_cast<int>(std::upper_bound(lowestScore + 1, lowestScore + 101, s) -
                                (lowestScore + 1));
    }
};
const rescaleSteps rescaled;

std::string replaced(std::string text, const std::string& marker, const std::string& value) {
    for (size_t at = text.find(marker); at != std::string::npos;
         at = text.find(marker, at + value.size()))
        text.replace(at, marker.size(), value);
    return text;
}

std::string expectedOutput(const ql::ServerMessage& message, const asSettings& settings) {
    const int32_t score =
        static_cast<int32_t>(static_cast<uint64_t>(message.spam_report().score().score()));
    const int v = rescaled(score);
    int bars = 0;
    for (int i = 0; i < settings.nScoreRanges; ++i)
        if (settings.scoreRange[i] < v) ++bars;
    char text[8];
    snprintf(text, sizeof text, "%3d", v);
    std::string header = replaced(settings.pMainHeader, "^1", text);
    header = replaced(header, "^2", std::string(static_cast<size_t>(bars), 'X'));
    if (v >= settings.alertLevel) header += "\\e" + settings.pAlertHeader;
    return "* original score=" + std::to_string(score) + "\n" +
           std::to_string(static_cast<int32_t>(message.serial())) + " ADDHEADER \"" + header +
           "\"\n";
}

void clearCounts() {
    stats.UseSection(asProgram.MakeStatSection());
    stats.ClearLists();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::CaptureStdout();
    // The library logs every string field with bytes that are not UTF-8 on
    // standard error; fuzzed frames are full of them.
    google::protobuf::SetLogHandler(nullptr);
    thisProgram = &asProgram;
    thisProcess = &asProgram.identity;
    workPath = curDir = fuzz::ScratchDirectory();
    choicesOfSettings[0] = makeSettings(false);
    choicesOfSettings[1] = makeSettings(true);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::ResetStdout();
    fuzz::reader in(data, size);
    const uint8_t choices = in.Byte();
    const auto& settings = choicesOfSettings[choices & 1];
    const bool queue = (choices & 0x80) == 0;
    const std::string envelope = in.Bytes(in.Short());
    const std::string stream = in.Rest();
    PublishSettings(settings);

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
            fuzz::CheckRefused(reply, queue, RefuseRatingReply);
            continue;
        } catch (const std::exception&) {
            break;
        }
        fuzz::CheckItemCount(message);
        const long mark = fuzz::StdoutMark();
        if (message.tag() != ql::ServerMessage::GET_SPAM_REPORT_RESPONSE) {
            FUZZ_CHECK(fuzz::CapturedSince(mark).empty(), "a dropped frame wrote something");
            continue;
        }
        // "Incorrect answer from antispam engine": the reader ends here.
        if (!message.has_serial()) break;
        const bool isError = message.has_error() && message.error().code() != ql::EC_OK;
        if (!isError && !message.has_spam_report()) break;

        if (queue) {
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
        if (isError)
            HandleSpamError(message);
        else
            HandleSpamReport(message);
        const std::string written = fuzz::CapturedSince(mark);
        if (queue) {
            const std::string want =
                isError ? std::to_string(static_cast<int32_t>(message.serial())) +
                              " FAILURE error=" + ql::ErrorCode_Name(message.error().code()) + "\n"
                        : expectedOutput(message, *settings);
            FUZZ_CHECK(written == want, "wrote '%s', expected '%s'", written.c_str(), want.c_str());
            FUZZ_CHECK(ScanListSize() == pendingBefore - 1, "pending request not taken");
        } else {
            FUZZ_CHECK(
                written.empty() || (written.compare(0, 2, "* ") == 0 && written.back() == '\n' &&
                                    written.find('\n') == written.size() - 1),
                "unmatched reply wrote '%s'", written.c_str());
            FUZZ_CHECK(ScanListSize() == pendingBefore, "a pending request was taken");
        }
    }
    close(fd);

    for (const scanListItem& item : ScanListSnapshot()) {
        scanListItem taken;
        ScanListTake(item.serial, &taken);
    }
    clearCounts();
    return 0;
}
