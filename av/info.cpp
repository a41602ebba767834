// Tarnwick-AV engine information: one subscription at start-up, and every
// notification the engine sends logged with its version and the time stamp
// of its virus bases.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <string>

#include "av/av.h"
#include "common/base/log.h"
#include "common/base/text.h"
#include "common/engine/engine.h"
#include "quillon_se_api.pb.h"

void sendInfoRequest() {
    ql::ClientMessage request;
    request.set_tag(ql::ClientMessage::SUBSCRIBE_INFO);
    try {
        EngineSend(request);
    } catch (const std::exception& e) {
        PrintMsg("* Error: %s\n", e.what());
    }
}

void handleInfoReply(ql::ServerMessage& message) {
    if (!message.has_info()) {
        PrintMsg("* no info returned\n");
        return;
    }
    const ql::SEAppInfo& info = message.info();
    if (info.has_engine_version()) {
        // Engine text must stay one log line: a line break in it would let
        // the engine put an answer line of its own before the server.
        std::string version = info.engine_version();
        version.erase(std::remove_if(version.begin(), version.end(),
                                     [](char c) { return c == '\n' || c == '\r'; }),
                      version.end());
        PrintMsg("* Engine version: %s\n", version.c_str());
    }
    if (!info.has_base_stamp()) return;

    uint64_t stamp = info.base_stamp();
    time_t t = static_cast<time_t>(stamp);
    struct tm tm;
    // The stamp comes from the engine: a value no calendar can hold is shown
    // as the number it is rather than as a made-up date.
    if (stamp > static_cast<uint64_t>(INT64_MAX) || !gmtime_r(&t, &tm) ||
        tm.tm_year + 1900 > 9999) {
        PrintMsg("* Base timestamp: %" PRIu64 "\n", stamp);
        return;
    }
    PrintMsg("* Base timestamp: %.3s %.3s%3d %.2d:%.2d:%.2d %d\n", WeekDayName(tm.tm_wday),
             MonthName(tm.tm_mon), tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_year + 1900);
}
