// What the host reads from a filter's settings file (PROGRAM.cfg beside
// the program): its engine socket, tried while the filter is down, and the
// names of the header fields it may add, removed from incoming messages.
// The keys are named in common/config/filterkeys.h, shared with the
// filters' own readers.
#ifndef TARNWICK_MILTER_FILTER_SETTINGS_H
#define TARNWICK_MILTER_FILTER_SETTINGS_H

#include <string>
#include <vector>

namespace milter {

struct FilterSettings {
    bool readable = false;
    std::string file;                     // the path read
    std::string engineSocket;             // empty when the file does not name one
    std::vector<std::string> fieldNames;  // lower case
    std::string stamp;                    // SettingsStampOf when read
};

// What tells a change of the file: device, inode, size and modification
// time; empty when it cannot be looked at.
std::string SettingsStampOf(const std::string& program);

// The settings file of the filter whose program is `program`.
std::string SettingsFileOf(const std::string& program);

// Reads it; readable false when it cannot be read or parsed, or names no
// engine socket (then nothing else is taken from it either).
FilterSettings ReadFilterSettings(const std::string& program);

// What the hold of infected mail needs of Tarnwick-AV's settings.
struct VirusFilterSettings {
    bool readable = false;
    char mode = 'R';        // first letter of Mode: R(eject), D(iscard), A(ddHeader)
    bool notifies = false;  // NotifyRecipients of the refusing Mode is yes
    std::string addHeader;  // AddHeaderOptions' Header, quoted form ("" when none)
    std::string caption;    // NotificationMessage's Caption (decoded)
};
VirusFilterSettings ReadVirusFilterSettings(const std::string& program);

}  // namespace milter

#endif
