#include "milter/host_start.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/base/daemonlog.h"
#include "milter/filter_settings.h"

namespace milter {

bool EnsureDirectory(const std::string& path, mode_t mode) {
    if (mkdir(path.c_str(), mode) == 0 || errno == EEXIST) {
        struct stat st;
        if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
    }
    daemonlog::Error("start: %s is not a usable directory: %s", path.c_str(), strerror(errno));
    return false;
}

void HoldInfectedWith(const std::string& program, milter::PolicySettings& policy) {
    const milter::VirusFilterSettings v = milter::ReadVirusFilterSettings(program);
    if (!v.readable) return;  // the filter itself says why it cannot start
    if (!v.addHeader.empty()) policy.virusField = v.addHeader;
    policy.virusCaption = v.caption;
    const std::string file = milter::SettingsFileOf(program);
    if (v.mode == 'D')
        daemonlog::Warn(
            "start: --on-virus hold: %s has Mode = \"Discard\": infected mail is "
            "discarded, not held; Mode = \"AddHeader\" holds it with its field",
            file.c_str());
    else if (v.notifies)
        daemonlog::Warn(
            "start: --on-virus hold: %s has NotifyRecipients = \"Yes\" in "
            "RejectOptions: the recipients of a held message are told it was not "
            "delivered; with \"No\" (or Mode = \"AddHeader\") they learn of it "
            "when it is released, with the field that names what was found",
            file.c_str());
}

std::string CheckerPath() {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string path(self, static_cast<size_t>(n));
        path = path.substr(0, path.rfind('/') + 1) + "tarnwick-check";
        if (access(path.c_str(), X_OK) == 0) return path;
    }
    return "/usr/bin/tarnwick-check";
}

}  // namespace milter
