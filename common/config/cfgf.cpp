// Reader of the configuration language (nested dictionaries, arrays and
// strings) used by the settings files and the statistics files, with the
// typed lookups and the error reporter shared by every caller.
//
// Input: a file path, or text in memory.  Output: a whole tree or nothing;
// a syntax error frees everything built so far.  Strings and keys have no
// length limit (the files are the administrator's or our own), but nesting
// is limited to cfgfMaxDepth so that a broken file cannot exhaust the stack.
// Reports go to standard output as one block under the console lock, and
// name the file the node was read from, whichever thread reports.
#include "common/config/cfgf.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "common/base/log.h"
#include "common/base/owners.h"
#include "common/base/text.h"

const char* const cfgfTypeStr[3] = {"String", "Dictionary", "Array"};

namespace {

// A freed node (type 0) or a corrupt tag must not index past the table.
const char* TypeName(int type) {
    if (type >= cfgfString && type <= cfgfArray) return cfgfTypeStr[type - 1];
    return "None";
}

std::string FormatV(const char* fmt, va_list ap) {
    va_list probe;
    va_copy(probe, ap);
    int n = vsnprintf(nullptr, 0, fmt, probe);
    va_end(probe);
    if (n <= 0) return std::string();
    std::string out(static_cast<size_t>(n) + 1, '\0');
    vsnprintf(&out[0], out.size(), fmt, ap);
    out.resize(static_cast<size_t>(n));
    return out;
}

bool IsBareChar(int c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '!' ||
           c == '-' || c == '.' || c == '@' || c == '_';
}

// Characters come either from a buffered file or from text in memory; the
// grammar never needs more than one character pushed back.
class charSource {
  public:
    explicit charSource(FILE* f) : file_(f) {}
    explicit charSource(const std::string& text) : text_(&text) {}

    int Get() {
        if (pushed_ != EOF) {
            int c = pushed_;
            pushed_ = EOF;
            return c;
        }
        int c;
        if (file_ != nullptr) {
            c = getc(file_);
        } else if (pos_ < text_->size()) {
            c = static_cast<unsigned char>((*text_)[pos_++]);
        } else {
            c = EOF;
        }
        if (c == EOF) atEnd_ = true;
        return c;
    }
    void Unget(int c) {
        if (c == EOF) return;
        pushed_ = c;
        atEnd_ = false;
    }
    bool AtEnd() const { return atEnd_; }

  private:
    FILE* file_ = nullptr;
    const std::string* text_ = nullptr;
    size_t pos_ = 0;
    int pushed_ = EOF;
    bool atEnd_ = false;
};

std::atomic<int> reportCount{0};

thread_local cfgfSyntaxFault lastFault;

void Report(const std::string& file, int line, const char* fmt, va_list ap) {
    reportCount.fetch_add(1, std::memory_order_relaxed);
    std::string report = "* Error in " + file + " ";
    if (line > 0) report += "line " + std::to_string(line) + " ";
    report += "\n* ";
    report += FormatV(fmt, ap);
    report += "\n";
    PrintRaw(report);
}

class parser {
  public:
    parser(charSource& src, const std::string& name)
        : src_(src), file_(std::make_shared<const std::string>(name)) {}

    std::unique_ptr<cfgfItem> ReadTop() {
        auto top = std::make_unique<cfgfItem>();
        top->file = file_;
        if (!ReadEntries(*top, true)) return nullptr;
        return top;
    }

  private:
    charSource& src_;
    std::shared_ptr<const std::string> file_;
    int line_ = 1;
    int depth_ = 0;

    void SkipWhite() {
        for (;;) {
            if (src_.AtEnd()) return;
            int c = src_.Get();
            if (c == '\n') {
                line_++;
            } else if (c == '#') {
                do {
                    c = src_.Get();
                } while (c != '\n' && c != EOF);
                line_++;
            } else if (c != EOF && c > 32) {
                src_.Unget(c);
                return;
            }
        }
    }

    bool ReadString(std::string& out) {
        SkipWhite();
        int c = src_.Get();
        out.clear();
        if (c == '"') {
            for (;;) {
                c = src_.Get();
                if (c == EOF || c == '"') break;
                if (c == '\n') {
                    cfgfFileError(*file_, "Line %d: unterminated string '%s'", line_, out.c_str());
                    return false;
                }
                if (c == '\\') {
                    c = src_.Get();
                    if (c == EOF) break;
                    // Backslash-e is the server's line break; fprintS decodes it later.
                    if (c == 'e') out.push_back('\\');
                }
                out.push_back(static_cast<char>(c));
            }
            return true;
        }
        if (IsBareChar(c)) {
            while (IsBareChar(c)) {
                out.push_back(static_cast<char>(c));
                c = src_.Get();
            }
            src_.Unget(c);
            return true;
        }
        // White space is skipped above, so a blank can only stand for end of file.
        cfgfFileError(*file_, "Line %d: unexpected character '%c'", line_, c == EOF ? ' ' : c);
        return false;
    }

    bool EnterNesting() {
        if (depth_ >= cfgfMaxDepth) {
            cfgfFileError(*file_, "Line %d: nesting too deep", line_);
            return false;
        }
        depth_++;
        return true;
    }

    bool ReadValue(cfgfItem& node) {
        SkipWhite();
        int startLine = line_;
        int c = src_.Get();
        bool ok;
        if (c == '(') {
            if (!EnterNesting()) return false;
            ok = ReadArray(node);
            depth_--;
        } else if (c == '{') {
            if (!EnterNesting()) return false;
            ok = ReadEntries(node, false);
            depth_--;
        } else {
            src_.Unget(c);
            std::string text;
            ok = ReadString(text);
            if (ok) {
                node.type = cfgfString;
                node.count = static_cast<int32_t>(text.size());
                node.data = std::move(text);
            }
        }
        node.line = startLine;
        node.file = file_;
        return ok;
    }

    bool ReadArray(cfgfItem& node) {
        node.type = cfgfArray;
        for (;;) {
            if (src_.AtEnd()) break;
            SkipWhite();
            int c = src_.Get();
            // An array cut short by the end of the file ends here; the entry
            // holding it then lacks its ";" and that is what gets reported.
            if (c == ')' || c == EOF) break;
            src_.Unget(c);
            cfgfItem element;
            if (!ReadValue(element)) return false;
            node.elements.push_back(std::move(element));
            node.count = static_cast<int32_t>(node.elements.size());
            SkipWhite();
            c = src_.Get();
            if (c != ',') src_.Unget(c);
        }
        return true;
    }

    bool ReadEntries(cfgfItem& node, bool topLevel) {
        node.type = cfgfDictionary;
        node.line = topLevel ? 1 : line_;
        node.file = file_;
        for (;;) {
            if (src_.AtEnd()) break;
            SkipWhite();
            int c = src_.Get();
            if (c == '}' || c == EOF) break;
            src_.Unget(c);

            std::string key;
            if (!ReadString(key)) return false;
            SkipWhite();
            if (src_.Get() != '=') {
                lastFault = cfgfSyntaxFault{line_, key, "="};
                cfgfError(&node, "Syntax error: '=' expected after '%s'", key.c_str());
                return false;
            }
            SkipWhite();
            cfgfItem value;
            if (!ReadValue(value)) return false;
            node.keys.push_back(std::move(key));
            node.values.push_back(std::move(value));
            node.count = static_cast<int32_t>(node.values.size());
            const int valueEnd = line_;
            SkipWhite();
            if (src_.Get() != ';') {
                lastFault = cfgfSyntaxFault{valueEnd, node.keys.back(), ";"};
                cfgfError(&node, "Syntax error: ';' expected");
                return false;
            }
        }
        return true;
    }
};

bool IsDictionary(const cfgfItem* node) {
    if (node->type == cfgfDictionary) return true;
    cfgfError(node, "wrong item type (%s), dictionary expected", TypeName(node->type));
    return false;
}

size_t EntryCount(const cfgfItem* dict) {
    return std::min(dict->keys.size(), dict->values.size());
}

}  // namespace

std::unique_ptr<cfgfItem> cfgfReadConfigFile(const std::string& path) {
    const UniqueFile file(fopen(path.c_str(), "r"));
    if (!file) {
        cfgfFileError(path, "unable to open file");
        return nullptr;
    }
    charSource src(file.get());
    lastFault = cfgfSyntaxFault();
    std::unique_ptr<cfgfItem> tree = parser(src, path).ReadTop();
    // A read error (a directory, an I/O fault) would otherwise pass for a
    // shorter file; half a settings file is worse than none.
    if (tree && ferror(file.get())) {
        cfgfFileError(path, "unable to open file");
        return nullptr;
    }
    return tree;
}

std::unique_ptr<cfgfItem> cfgfReadConfigText(const std::string& text, const std::string& name) {
    charSource src(text);
    lastFault = cfgfSyntaxFault();
    return parser(src, name).ReadTop();
}

const cfgfSyntaxFault& cfgfLastSyntaxFault() {
    return lastFault;
}

std::unique_ptr<cfgfItem> cfgfEmptyTree(const std::string& name) {
    auto top = std::make_unique<cfgfItem>();
    top->type = cfgfDictionary;
    top->line = 1;
    top->file = std::make_shared<const std::string>(name);
    return top;
}

const std::string& cfgfFileName(const cfgfItem* node) {
    static const std::string unknown;
    return node != nullptr && node->file ? *node->file : unknown;
}

cfgfItem cfgfNewString(const std::string& text) {
    cfgfItem node;
    node.type = cfgfString;
    node.count = static_cast<int32_t>(text.size());
    node.data = text;
    return node;
}

const cfgfItem* cfgfGetDictValue(const cfgfItem* node, const char* key, cfgfItemType wanted) {
    if (node == nullptr || key == nullptr) return nullptr;
    if (!IsDictionary(node)) return nullptr;
    for (size_t i = EntryCount(node); i-- > 0;) {
        if (node->keys[i] != key) continue;
        const cfgfItem* value = &node->values[i];
        if (wanted != cfgfNone && value->type != wanted) {
            cfgfError(value, "incorrect value type; expected %s got %s", TypeName(wanted),
                      TypeName(value->type));
            return nullptr;
        }
        return value;
    }
    return nullptr;
}

const char* cfgfGetDictValueStr(const cfgfItem* node, const char* key) {
    const cfgfItem* value = cfgfGetDictValue(node, key, cfgfString);
    return value != nullptr ? value->data.c_str() : nullptr;
}

const cfgfItem* cfgfGetArrayValue(const cfgfItem* node, int index) {
    if (node == nullptr) return nullptr;
    if (node->type != cfgfArray) {
        cfgfError(node, "wrong item type, array expected");
        return nullptr;
    }
    if (index < 0 || static_cast<size_t>(index) >= node->elements.size()) return nullptr;
    return &node->elements[static_cast<size_t>(index)];
}

const cfgfItem* cfgfGetDictNthValue(const cfgfItem* node, int index) {
    if (node == nullptr) return nullptr;
    if (!IsDictionary(node)) return nullptr;
    if (index < 0 || static_cast<size_t>(index) >= EntryCount(node)) return nullptr;
    return &node->values[static_cast<size_t>(index)];
}

const char* cfgfGetDictNthKey(const cfgfItem* node, int index) {
    if (node == nullptr) return nullptr;
    if (!IsDictionary(node)) return nullptr;
    if (index < 0 || static_cast<size_t>(index) >= EntryCount(node)) return nullptr;
    return node->keys[static_cast<size_t>(index)].c_str();
}

int cfgfCheckPresence(const cfgfItem* dict, const char* const* names, cfgfItemType wanted) {
    return cfgfCheckPresenceFrom(dict, names, wanted, 0);
}

int cfgfCheckPresenceFrom(const cfgfItem* dict, const char* const* names, cfgfItemType wanted,
                          int from) {
    if (names == nullptr || from < 0) return -1;
    for (int i = 0; i < from; i++)
        if (names[i] == nullptr) return -1;
    for (int i = from; names[i] != nullptr; i++) {
        if (cfgfGetDictValue(dict, names[i], wanted) == nullptr) return i;
    }
    return -1;
}

int cfgfCheckValidity(const cfgfItem* dict, const char* const* names) {
    return cfgfCheckValidityFrom(dict, names, 0);
}

int cfgfCheckValidityFrom(const cfgfItem* dict, const char* const* names, int from) {
    if (dict == nullptr || dict->type != cfgfDictionary || from < 0) return -1;
    size_t n = EntryCount(dict);
    for (size_t i = static_cast<size_t>(from); i < n; i++) {
        bool listed = false;
        for (int j = 0; names != nullptr && names[j] != nullptr; j++) {
            if (dict->keys[i] == names[j]) {
                listed = true;
                break;
            }
        }
        if (!listed) return static_cast<int>(i);
    }
    return -1;
}

void cfgfFreeItem(cfgfItem* node) {
    if (node == nullptr) return;
    if (node->type < cfgfString || node->type > cfgfArray) {
        cfgfError(node, "Can't deallocate: unknown item type (%d)", static_cast<int>(node->type));
        node->type = cfgfNone;
        return;
    }
    // swap, not clear(): the storage itself is released, not just emptied.
    std::string().swap(node->data);
    std::vector<cfgfItem>().swap(node->elements);
    std::vector<std::string>().swap(node->keys);
    std::vector<cfgfItem>().swap(node->values);
    node->count = 0;
    node->type = cfgfNone;
}

int cfgfReportCount() {
    return reportCount.load(std::memory_order_relaxed);
}

void cfgfCountReport() {
    reportCount.fetch_add(1, std::memory_order_relaxed);
}

void cfgfError(const cfgfItem* node, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    Report(cfgfFileName(node), node != nullptr ? node->line : 0, fmt, ap);
    va_end(ap);
}

void cfgfFileError(const std::string& file, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    Report(file, 0, fmt, ap);
    va_end(ap);
}
