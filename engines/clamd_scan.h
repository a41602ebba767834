// The scanning half of quillon-clamd: loading a signature database
// directory into a libclamav engine, and turning one received frame body into
// what the daemon does with it and the reply it sends.  Kept apart from the
// socket and thread handling so that it can be driven without a connection.
//
// Inputs: the database directory, frame bodies from a client, the files they
// name.  Limits: a report lists at most maxFindings names, each signature
// once; a path is opened only when it is absolute and holds no zero byte,
// and only a regular file is scanned.
#ifndef TARNWICK_ENGINES_CLAMD_SCAN_H
#define TARNWICK_ENGINES_CLAMD_SCAN_H

#include <clamav.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "quillon_se_api.pb.h"

namespace engined {

constexpr size_t maxFindings = 100;

struct ClamEngineFree {
    void operator()(cl_engine* engine) const { cl_engine_free(engine); }
};

// One loaded and compiled signature set.  Never changed after loading, so
// scans on several threads may share it; a reload builds a new one.
struct LoadedEngine {
    std::unique_ptr<cl_engine, ClamEngineFree> engine;
    unsigned signatures = 0;
    std::string version;  // "ClamAV 1.4.6", with "/db version" when the databases carry one
    uint64_t stamp = 0;   // seconds since 1970
    std::vector<std::pair<std::string, uint32_t>> bases;  // database file, signature count
};

// Loads and compiles the databases of dir (cl_init must have run).  Logs
// and returns null when that fails or the directory holds no signatures.
std::shared_ptr<const LoadedEngine> LoadEngine(const std::string& dir);

// What a frame body asks for.  kMalformed: not a request at all; the
// connection that sent it is closed.
enum class ClamdFrame { kMalformed, kScan, kSubscribe, kUnsubscribe };
ClamdFrame ReadClamdFrame(const std::string& body, ql::ClientMessage& request);

// The SCAN_FILE_RESULT for a kScan request: the request's serial and the
// report of its file (or the error that kept the file from being scanned).
void AnswerScan(const LoadedEngine& loaded, const ql::ClientMessage& request,
                ql::ServerMessage& reply);

// The INFO_NOTIFICATION describing loaded, for a daemon of `workers` workers.
void DescribeEngine(const LoadedEngine& loaded, unsigned workers, ql::ServerMessage& notification);

}  // namespace engined

#endif
