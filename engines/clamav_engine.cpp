// quillon-clamd: a scan engine daemon on libclamav.  It speaks the engine
// side of the scan engine wire protocol on a unix socket: a SCAN_FILE_REQUEST
// names a file by absolute path, the file is scanned with every match
// reported (mail messages are unpacked by ClamAV, so a virus in a MIME
// attachment is found) and the SCAN_FILE_RESULT carries one `virus` entry per
// match; a SUBSCRIBE_INFO is answered with the ClamAV version and the time
// stamp of the signature databases, and again after every reload (SIGHUP).
//
// Inputs: the frames of each connection, the files they name, the signature
// database directory.  Limits: the report is flat (the matches of nested
// objects are listed on the root, without `item` children); the per-request
// depth and timeout settings of the schema are not honoured beyond switching
// mail or archive parsing off at a depth of 0, because libclamav sets its
// limits per engine, not per scan; a signature that matches in several
// layers of a file is listed once; at most maxFindings names are listed.
#include <cerrno>
#include <clamav.h>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "daemon_util.h"
#include "frame_server.h"
#include "quillon_se_api.pb.h"

using engined::Log;

namespace {

constexpr size_t maxFindings = 100;
constexpr size_t maxQueuedScans = 256;

struct EngineFree {
  void operator()(cl_engine* engine) const { cl_engine_free(engine); }
};

// One loaded and compiled signature set.  Never changed after loading, so
// scans on several threads may share it; a reload builds a new one.
struct LoadedEngine {
  std::unique_ptr<cl_engine, EngineFree> engine;
  unsigned signatures = 0;
  std::string version;  // "ClamAV 1.4.6", with "/db version" when the databases carry one
  uint64_t stamp = 0;   // seconds since 1970
  std::vector<std::pair<std::string, uint32_t>> bases;  // database file, signature count
};

// The matches of one scan, filled by the virus-found callback.
struct ScanContext {
  std::vector<std::string> names;
  bool truncated = false;
};

extern "C" void OnVirusFound(int, const char* name, void* context) {
  auto* scan = static_cast<ScanContext*>(context);
  if (scan == nullptr || name == nullptr) return;
  // ClamAV reports a signature again for each layer it matches in (a text
  // file raw and normalised, say); a flat report gains nothing from repeats.
  for (const std::string& known : scan->names) {
    if (known == name) return;
  }
  if (scan->names.size() >= maxFindings) {
    scan->truncated = true;
    return;
  }
  scan->names.emplace_back(name);
}

// libclamav writes its warnings to stderr by itself; route them through our
// log so that lines never interleave.
extern "C" void OnLibraryMessage(enum cl_msg severity, const char* fullmsg, const char*, void*) {
  if (severity < CL_MSG_WARN || fullmsg == nullptr) return;
  std::string text = fullmsg;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  Log("%s", text.c_str());
}

// The stamp and per-file counts come from the files themselves: only CVD
// containers carry a build time, and a directory of plain signature files
// (the test database, local additions) has none.
void DescribeDatabases(const std::string& dir, LoadedEngine& loaded) {
  time_t built = static_cast<time_t>(cl_engine_get_num(loaded.engine.get(), CL_ENGINE_DB_TIME, nullptr));
  uint64_t newest = 0;
  std::unique_ptr<DIR, int (*)(DIR*)> listing(opendir(dir.c_str()), closedir);
  if (listing) {
    while (dirent* entry = readdir(listing.get())) {
      std::string path = dir + "/" + entry->d_name;
      struct stat st;
      if (entry->d_name[0] == '.' || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
      unsigned count = 0;
      if (cl_countsigs(path.c_str(), CL_COUNTSIGS_ALL, &count) != CL_SUCCESS || count == 0) continue;
      loaded.bases.emplace_back(path, count);
      if (static_cast<uint64_t>(st.st_mtime) > newest) newest = static_cast<uint64_t>(st.st_mtime);
    }
  }
  loaded.stamp = built > 0 ? static_cast<uint64_t>(built) : newest;
  loaded.version = std::string("ClamAV ") + cl_retver();
  unsigned dbVersion = static_cast<unsigned>(cl_engine_get_num(loaded.engine.get(), CL_ENGINE_DB_VERSION, nullptr));
  if (dbVersion > 0) loaded.version += "/" + std::to_string(dbVersion);
}

std::shared_ptr<const LoadedEngine> LoadEngine(const std::string& dir) {
  auto loaded = std::make_shared<LoadedEngine>();
  loaded->engine.reset(cl_engine_new());
  if (!loaded->engine) {
    Log("cannot create a ClamAV engine");
    return nullptr;
  }
  cl_error_t rc = cl_load(dir.c_str(), loaded->engine.get(), &loaded->signatures, CL_DB_STDOPT);
  if (rc != CL_SUCCESS) {
    Log("cannot load the signature databases in %s: %s", dir.c_str(), cl_strerror(rc));
    return nullptr;
  }
  if (loaded->signatures == 0) {
    Log("no signatures in %s: run freshclam or give --db a database directory", dir.c_str());
    return nullptr;
  }
  rc = cl_engine_compile(loaded->engine.get());
  if (rc != CL_SUCCESS) {
    Log("cannot compile the signatures of %s: %s", dir.c_str(), cl_strerror(rc));
    return nullptr;
  }
  cl_engine_set_clcb_virus_found(loaded->engine.get(), OnVirusFound);
  DescribeDatabases(dir, *loaded);
  return loaded;
}

ql::ScanError ErrorFromErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ELOOP:
      return ql::SE_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
      return ql::SE_NO_ACCESS;
    case ENAMETOOLONG:
      return ql::SE_NAME_TOO_LONG;
    case EBUSY:
    case ETXTBSY:
      return ql::SE_FILE_BUSY;
    case EIO:
      return ql::SE_READ_ERROR;
    default:
      return ql::SE_ENGINE_ERROR;
  }
}

ql::ScanError ErrorFromClamAV(cl_error_t rc) {
  switch (rc) {
    case CL_EOPEN:
    case CL_EACCES:
      return ql::SE_NO_ACCESS;
    case CL_EREAD:
    case CL_ESEEK:
    case CL_ESTAT:
    case CL_EMAP:
      return ql::SE_READ_ERROR;
    case CL_EWRITE:
    case CL_ECREAT:
    case CL_ETMPFILE:
    case CL_ETMPDIR:
      return ql::SE_WRITE_ERROR;
    case CL_EUNPACK:
      return ql::SE_UNPACKING_ERROR;
    case CL_ETIMEOUT:
      return ql::SE_SCAN_TIMEOUT;
    case CL_EMAXREC:
      return ql::SE_ARCHIVE_LEVEL_LIMIT;
    case CL_EMAXSIZE:
      return ql::SE_FILE_TOO_LARGE;
    default:
      return ql::SE_ENGINE_ERROR;
  }
}

ql::VirusType TypeOfName(const std::string& name) {
  if (name.compare(0, 11, "Heuristics.") == 0) return ql::SE_UNKNOWN_VIRUS;
  if (name.compare(0, 4, "PUA.") == 0) return ql::SE_RISKWARE;
  return ql::SE_KNOWN_VIRUS;
}

void ScanFile(const LoadedEngine& loaded, const ql::ScanFileRequest& request, ql::ScanReport& report) {
  const std::string& path = request.path();
  report.set_object(path);
  if (path.empty() || path[0] != '/') {
    report.set_error(ql::SE_PATH_NOT_ABSOLUTE);
    return;
  }
  // open() would stop at a zero byte and scan some other file.
  if (path.find('\0') != std::string::npos) {
    report.set_error(ql::SE_FILE_NOT_FOUND);
    return;
  }
  // O_NONBLOCK keeps a FIFO planted under the name from hanging the worker;
  // it is refused below as not regular.
  engined::UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.Valid()) {
    report.set_error(ErrorFromErrno(errno));
    return;
  }
  struct stat st;
  if (fstat(fd.Get(), &st) != 0) {
    report.set_error(ql::SE_READ_ERROR);
    return;
  }
  if (!S_ISREG(st.st_mode)) {
    report.set_error(ql::SE_FILE_NOT_REGULAR);
    return;
  }
  report.set_size(static_cast<uint64_t>(st.st_size));

  cl_scan_options options;
  memset(&options, 0, sizeof options);
  options.general = CL_SCAN_GENERAL_ALLMATCHES;
  if (request.heuristic_analysis()) options.general |= CL_SCAN_GENERAL_HEURISTICS;
  options.parse = ~0u;
  if (request.mail_max_level() == 0) options.parse &= ~static_cast<uint32_t>(CL_SCAN_PARSE_MAIL);
  if (request.archive_max_level() == 0) options.parse &= ~static_cast<uint32_t>(CL_SCAN_PARSE_ARCHIVE);

  ScanContext scan;
  const char* lastName = nullptr;
  unsigned long scanned = 0;
  cl_error_t rc = cl_scandesc_callback(fd.Get(), path.c_str(), &lastName, &scanned, loaded.engine.get(), &options, &scan);
  // The callback sees every match; the returned name is a fallback should a
  // library version report a match only there.
  if (rc == CL_VIRUS && scan.names.empty() && lastName != nullptr) scan.names.emplace_back(lastName);
  if (scan.truncated) Log("%s: more than %zu matches, the rest are not listed", path.c_str(), maxFindings);
  for (const std::string& name : scan.names) {
    ql::Virus* virus = report.add_virus();
    virus->set_type(TypeOfName(name));
    virus->set_name(name);
  }
  if (rc != CL_CLEAN && rc != CL_VIRUS) {
    Log("%s: scan failed: %s", path.c_str(), cl_strerror(rc));
    // A match already found settles the verdict; the error would only turn
    // an infected message into an unscanned one.
    if (scan.names.empty()) report.set_error(ErrorFromClamAV(rc));
  }
}

class ClamHandler : public engined::FrameHandler {
 public:
  ClamHandler(std::string dbDir, std::shared_ptr<const LoadedEngine> loaded, unsigned workers)
      : dbDir_(std::move(dbDir)), workers_(workers), loaded_(std::move(loaded)), pool_(workers, maxQueuedScans) {}

  bool OnFrame(const std::shared_ptr<engined::Connection>& connection, const std::string& body) override {
    ql::ClientMessage request;
    if (!request.ParseFromString(body)) {
      Log("connection %u: a frame of %zu bytes is not a valid request", connection->Id(), body.size());
      return false;
    }
    switch (request.tag()) {
      case ql::ClientMessage::SCAN_FILE_REQUEST:
        pool_.Submit([this, connection, request] { Answer(*connection, request); });
        break;
      case ql::ClientMessage::SUBSCRIBE_INFO:
        Subscribe(connection);
        SendInfo(*connection);
        break;
      case ql::ClientMessage::UNSUBSCRIBE_INFO:
        Unsubscribe(connection.get());
        break;
    }
    return true;
  }

  void OnClose(const std::shared_ptr<engined::Connection>& connection) override { Unsubscribe(connection.get()); }

  void OnReload() override {
    Log("reloading the signature databases of %s", dbDir_.c_str());
    std::shared_ptr<const LoadedEngine> fresh = LoadEngine(dbDir_);
    if (!fresh) {
      Log("reload failed, the previous signatures stay in use");
      return;
    }
    Log("%u signatures loaded", fresh->signatures);
    {
      std::lock_guard<std::mutex> lock(engineMutex_);
      loaded_ = std::move(fresh);
    }
    std::vector<std::shared_ptr<engined::Connection>> targets;
    {
      std::lock_guard<std::mutex> lock(subscribersMutex_);
      targets = subscribers_;
    }
    for (const auto& connection : targets) SendInfo(*connection);
  }

 private:
  std::shared_ptr<const LoadedEngine> Current() {
    std::lock_guard<std::mutex> lock(engineMutex_);
    return loaded_;
  }

  void Answer(engined::Connection& connection, const ql::ClientMessage& request) {
    ql::ServerMessage reply;
    reply.set_tag(ql::ServerMessage::SCAN_FILE_RESULT);
    if (request.has_serial()) reply.set_serial(request.serial());
    ql::ScanReport* report = reply.mutable_scan_report();
    if (!request.has_scan_file_request()) {
      Log("connection %u: a scan request without a path", connection.Id());
      report->set_object("");
      report->set_error(ql::SE_PATH_NOT_ABSOLUTE);
    } else {
      // The engine in force when the scan starts stays alive until it ends,
      // even if a reload replaces it meanwhile.
      std::shared_ptr<const LoadedEngine> loaded = Current();
      ScanFile(*loaded, request.scan_file_request(), *report);
    }
    connection.Send(reply);
  }

  void SendInfo(engined::Connection& connection) {
    std::shared_ptr<const LoadedEngine> loaded = Current();
    ql::ServerMessage notification;
    notification.set_tag(ql::ServerMessage::INFO_NOTIFICATION);
    ql::SEAppInfo* info = notification.mutable_info();
    info->set_engine_version(loaded->version);
    info->set_base_stamp(loaded->stamp);
    info->set_max_forks(workers_);
    for (const auto& base : loaded->bases) {
      ql::SEVirusBase* entry = info->add_virus_base();
      entry->set_path(base.first);
      entry->set_virus_records(base.second);
    }
    connection.Send(notification);
  }

  void Subscribe(const std::shared_ptr<engined::Connection>& connection) {
    Unsubscribe(connection.get());
    std::lock_guard<std::mutex> lock(subscribersMutex_);
    subscribers_.push_back(connection);
  }

  void Unsubscribe(const engined::Connection* connection) {
    std::lock_guard<std::mutex> lock(subscribersMutex_);
    for (auto it = subscribers_.begin(); it != subscribers_.end();) {
      it = it->get() == connection ? subscribers_.erase(it) : it + 1;
    }
  }

  const std::string dbDir_;
  const unsigned workers_;
  std::mutex engineMutex_;  // guards loaded_ (the pointer; the engine itself is immutable)
  std::shared_ptr<const LoadedEngine> loaded_;
  std::mutex subscribersMutex_;  // guards subscribers_
  std::vector<std::shared_ptr<engined::Connection>> subscribers_;
  // Last member: its destructor waits for running scans, which use the
  // members above.
  engined::WorkerPool pool_;
};

void Usage() {
  Log("usage: quillon-clamd --socket PATH [--db DIR] [--workers N]");
}

}  // namespace

int main(int argc, char** argv) {
  engined::SetLogName("quillon-clamd");
  cl_set_clcb_msg(OnLibraryMessage);
  std::string socketPath, dbDir, workersText = "2", help;
  if (!engined::ParseOptions(argc, argv, {{"--socket", &socketPath, false},
                                          {"--db", &dbDir, false},
                                          {"--workers", &workersText, false},
                                          {"--help", &help, true}}) ||
      !help.empty() || socketPath.empty()) {
    Usage();
    return help.empty() ? 2 : 0;
  }
  uint64_t workers = 0;
  if (!engined::ParseNumber(workersText, 1, 32, workers)) {
    Log("--workers must be a number from 1 to 32");
    return 2;
  }
  if (dbDir.empty()) dbDir = cl_retdbdir();

  cl_error_t rc = cl_init(CL_INIT_DEFAULT);
  if (rc != CL_SUCCESS) {
    Log("cannot initialise libclamav: %s", cl_strerror(rc));
    return 1;
  }
  std::shared_ptr<const LoadedEngine> loaded = LoadEngine(dbDir);
  if (!loaded) return 1;

  engined::InstallSignalHandlers();
  ClamHandler handler(dbDir, loaded, static_cast<unsigned>(workers));
  engined::FrameServer server(socketPath, handler);
  if (!server.Listen()) return 1;
  Log("%s, %u signatures from %s, listening on %s", loaded->version.c_str(), loaded->signatures, dbDir.c_str(),
      socketPath.c_str());
  loaded.reset();
  server.Run();
  Log("stopped");
  return 0;
}
