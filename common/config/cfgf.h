// The configuration language shared by the settings files and the
// statistics files: nested dictionaries, arrays and strings.
//
// A tree is read whole or not at all.  Nodes returned by lookups are views
// into their parent and live as long as the tree.  Error reports go to
// standard output as one block under the console lock; their first line names
// the file the node was read from, however long after the reading.
// Input is trusted to be small, but nesting is bounded so that a hostile or
// broken file cannot exhaust the stack.
#ifndef TARNWICK_COMMON_CONFIG_CFGF_H
#define TARNWICK_COMMON_CONFIG_CFGF_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

enum cfgfItemType : int32_t {
    cfgfNone = 0,
    cfgfString = 1,
    cfgfDictionary = 2,
    cfgfArray = 3,
};

extern const char* const cfgfTypeStr[3];  // "String", "Dictionary", "Array"

struct cfgfItem {
    cfgfItemType type = cfgfNone;
    int32_t line = 0;
    int32_t count = 0;
    std::string data;                // cfgfString: the text
    std::vector<cfgfItem> elements;  // cfgfArray
    std::vector<std::string> keys;   // cfgfDictionary, parallel to values
    std::vector<cfgfItem> values;
    // The file (or name) the tree was read from, shared by all its nodes.
    std::shared_ptr<const std::string> file;
};

// Deepest nesting of arrays and dictionaries that a file may use.
constexpr int cfgfMaxDepth = 64;

std::unique_ptr<cfgfItem> cfgfReadConfigFile(const std::string& path);
// The same reader over text in memory; `name` is what error reports show.
std::unique_ptr<cfgfItem> cfgfReadConfigText(const std::string& text, const std::string& name);
// An empty dictionary that reports as the file `name` (a file that could
// not be read: its settings are all missing).
std::unique_ptr<cfgfItem> cfgfEmptyTree(const std::string& name);
// The file a node was read from; empty for null.
const std::string& cfgfFileName(const cfgfItem* node);

cfgfItem cfgfNewString(const std::string& text);
const cfgfItem* cfgfGetDictValue(const cfgfItem* node, const char* key, cfgfItemType wanted);
const char* cfgfGetDictValueStr(const cfgfItem* node, const char* key);
const cfgfItem* cfgfGetArrayValue(const cfgfItem* node, int index);
const cfgfItem* cfgfGetDictNthValue(const cfgfItem* node, int index);
const char* cfgfGetDictNthKey(const cfgfItem* node, int index);
int cfgfCheckPresence(const cfgfItem* dict, const char* const* names, cfgfItemType wanted);
int cfgfCheckValidity(const cfgfItem* dict, const char* const* names);
// The same, looking from list position / entry `from` on, so that a caller
// can go on past the first finding and list them all.
int cfgfCheckPresenceFrom(const cfgfItem* dict, const char* const* names, cfgfItemType wanted,
                          int from);
int cfgfCheckValidityFrom(const cfgfItem* dict, const char* const* names, int from);
void cfgfFreeItem(cfgfItem* node);
// "* Error in <file> [line <n> ]\n* <text>\n" for the node's file and line.
void cfgfError(const cfgfItem* node, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// The same for a problem of a whole file (no line).
void cfgfFileError(const std::string& file, const char* fmt, ...)
    __attribute__((format(printf, 2, 3)));
// How many reports have been made (any thread), and one more for a problem
// reported in other words (the settings check counts every finding).
int cfgfReportCount();

// Where this thread's last reading failed on its syntax: the line of the
// fault itself (for a missing ";" the line where the entry's value ends,
// where its report names the line of the enclosing dictionary), the key of
// that entry and what was expected; line 0 when the last reading did not
// fail so.  For the settings check, which points at the line to mend.
struct cfgfSyntaxFault {
    int line = 0;
    std::string key;
    std::string expected;  // "=" or ";"
};
const cfgfSyntaxFault& cfgfLastSyntaxFault();
void cfgfCountReport();

#endif
