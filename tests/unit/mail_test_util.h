// Helpers for the generated-mail and statistics tests: a scratch directory,
// whole-file reads, directory listings, settings made from configuration
// text, and a fixed time zone so that date texts are predictable.
#ifndef TARNWICK_TESTS_UNIT_MAIL_TEST_UTIL_H
#define TARNWICK_TESTS_UNIT_MAIL_TEST_UTIL_H

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/config/cfgf.h"

namespace mailtest {

namespace fs = std::filesystem;

class scratchDir {
  public:
    scratchDir() {
        std::string tmpl = (fs::temp_directory_path() / "tw-mail-XXXXXX").string();
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        const char* made = mkdtemp(buf.data());
        EXPECT_NE(made, nullptr);
        path_ = made ? made : "";
    }
    ~scratchDir() {
        std::error_code ec;
        if (!path_.empty()) fs::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }
    std::string sub(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

inline std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void WriteWhole(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    ASSERT_TRUE(out.good()) << path;
}

// File names in a directory, sorted.
inline std::vector<std::string> Names(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

inline std::shared_ptr<const cfgfItem> Tree(const std::string& text) {
    return std::shared_ptr<const cfgfItem>(cfgfReadConfigText(text, "test.cfg"));
}

// All date texts in these tests are UTC.
inline void UseUtc() {
    setenv("TZ", "UTC", 1);
    tzset();
}

// Seconds since the epoch of a UTC date and time.
inline time_t Utc(int year, int month, int day, int hour, int minute, int second) {
    struct tm tm = {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return timegm(&tm);
}

}  // namespace mailtest

#endif
