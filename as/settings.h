// Tarnwick-AS's settings, fixed texts and sender whitelist: the reader of
// Tarnwick-AS.cfg and the snapshot it publishes, and the whitelist read at
// start-up.  A library of its own (tarnwick_as_settings), used by the
// program and by tarnwick-check; nothing here knows the host.
#ifndef TARNWICK_AS_SETTINGS_H
#define TARNWICK_AS_SETTINGS_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/base/process.h"
#include "common/config/settings.h"

struct asSettings : commonSettings {
    std::string pMainHeader = "X-Junk-Score: ^1 [^2]\\eX-Quillon-Score: ^1 [^2]";
    int32_t alertLevel = 100;
    std::string pAlertHeader = "X-Alert: possible spam!\\eX-Color: red";
    int32_t scoreRange[20] = {0, 39, 76, 84, 90, 99, 100};
    int32_t nScoreRanges = 7;
};

// Its fixed texts (also for tarnwick-check, which has no programDesc of it).
extern const processIdentity asIdentity;

const std::shared_ptr<const asSettings>& AsSettings();

// Settings.
void ReadAsSettings();

// Sender whitelist, filled once before the reader thread starts.
class whitelist {
  public:
    void Initialize();  // reads whitelist_file_name from the working directory
    bool IsListed(const char* address) const;
    void Add(const std::string& pattern);  // applies the loading rules to one line
    size_t Size() const { return patterns_.size(); }

  private:
    std::vector<std::string> patterns_;
    std::vector<size_t> tailFrom_;  // per pattern: where the text after its last "*" begins
    // Patterns whose fixed tail (all of a pattern without "*") holds no "?"
    // are found through the tail: a sender can only match a pattern whose
    // tail it ends with.  byTail_ maps tailKey(tail) to their numbers;
    // tailLengths_ holds each length some tail has, shortest first, with
    // the set of characters such tails begin with: a sender whose character
    // at that distance from its end is not among them needs no look-up, nor
    // does one whose last character ends no tail (lastChars_).
    // The others (a tail with "?", or none) are in `general_`.  Numbers are
    // in file order.
    struct tailLength {
        size_t length;
        uint64_t firstChars[4];  // bit c: some tail of this length begins with byte c
    };
    std::unordered_map<uint64_t, std::vector<uint32_t>> byTail_;
    std::vector<tailLength> tailLengths_;
    uint64_t lastChars_[4] = {0, 0, 0, 0};
    std::vector<uint32_t> general_;
};
// The one instance; the object hides the class name, so the type is spelled
// "class whitelist" where it is needed.
extern class whitelist whitelist;
constexpr const char* whitelist_file_name = "whitelist.txt";
int wildcmp(const char* pattern, const char* text);

#endif
