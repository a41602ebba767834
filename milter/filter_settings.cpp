#include "milter/filter_settings.h"

#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "common/base/text.h"
#include "common/config/cfgf.h"
#include "common/config/filterkeys.h"
#include "milter/answer.h"

namespace milter {

std::string SettingsFileOf(const std::string& program) {
    return program + ".cfg";
}

std::string SettingsStampOf(const std::string& program) {
    struct stat st;
    if (stat(SettingsFileOf(program).c_str(), &st) != 0) return std::string();
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" +
           std::to_string(st.st_size) + ":" + std::to_string(st.st_mtim.tv_sec) + "." +
           std::to_string(st.st_mtim.tv_nsec);
}

FilterSettings ReadFilterSettings(const std::string& program) {
    FilterSettings s;
    s.file = SettingsFileOf(program);
    s.stamp = SettingsStampOf(program);
    std::unique_ptr<cfgfItem> tree;
    if (access(s.file.c_str(), R_OK) == 0) tree = cfgfReadConfigFile(s.file);
    if (!tree) return s;
    // A file without the engine's socket is none the filter could start on:
    // one cut short while it is written (an empty file reads as an empty
    // dictionary), or one being edited.
    const char* socket = cfgfGetDictValueStr(tree.get(), filterKeys::socket);
    if (!socket) return s;
    s.readable = true;
    s.engineSocket = socket;
    // Each file holds only its own filter's fields.
    const cfgfItem* addHeader =
        cfgfGetDictValue(tree.get(), filterKeys::addHeaderOptions, cfgfDictionary);
    for (const char* text : {cfgfGetDictValueStr(tree.get(), filterKeys::header),
                             cfgfGetDictValueStr(tree.get(), filterKeys::alertHeader),
                             cfgfGetDictValueStr(addHeader, filterKeys::addHeaderOptionsHeader)}) {
        if (!text) continue;
        std::vector<std::string> some = ConfiguredFieldNames(text);
        s.fieldNames.insert(s.fieldNames.end(), some.begin(), some.end());
    }
    return s;
}

VirusFilterSettings ReadVirusFilterSettings(const std::string& program) {
    VirusFilterSettings s;
    const std::string file = SettingsFileOf(program);
    std::unique_ptr<cfgfItem> tree;
    if (access(file.c_str(), R_OK) == 0) tree = cfgfReadConfigFile(file);
    if (!tree) return s;
    s.readable = true;
    if (const char* mode = cfgfGetDictValueStr(tree.get(), filterKeys::mode)) s.mode = mode[0];
    const cfgfItem* options = cfgfGetDictValue(
        tree.get(), s.mode == 'D' ? filterKeys::discardOptions : filterKeys::rejectOptions,
        cfgfDictionary);
    const char* notify =
        options ? cfgfGetDictValueStr(options, filterKeys::notifyRecipients) : nullptr;
    s.notifies = notify && (notify[0] == 'Y' || notify[0] == 'y');
    const cfgfItem* addHeader =
        cfgfGetDictValue(tree.get(), filterKeys::addHeaderOptions, cfgfDictionary);
    if (const char* header = cfgfGetDictValueStr(addHeader, filterKeys::addHeaderOptionsHeader))
        s.addHeader = header;
    const cfgfItem* message =
        cfgfGetDictValue(tree.get(), filterKeys::notificationMessage, cfgfDictionary);
    if (const char* caption = cfgfGetDictValueStr(message, filterKeys::caption))
        fprintS(s.caption, caption);
    return s;
}

}  // namespace milter
