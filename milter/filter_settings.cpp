#include "milter/filter_settings.h"

#include <unistd.h>

#include <memory>

#include "common/config/cfgf.h"
#include "common/config/filterkeys.h"
#include "milter/answer.h"

namespace milter {

std::string SettingsFileOf(const std::string& program) {
    return program + ".cfg";
}

FilterSettings ReadFilterSettings(const std::string& program) {
    FilterSettings s;
    s.file = SettingsFileOf(program);
    std::unique_ptr<cfgfItem> tree;
    if (access(s.file.c_str(), R_OK) == 0) tree = cfgfReadConfigFile(s.file);
    if (!tree) return s;
    s.readable = true;
    if (const char* socket = cfgfGetDictValueStr(tree.get(), filterKeys::socket))
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

}  // namespace milter
