// Fuzz target: the configuration language (settings and statistics files).
//
// Whatever the text, reading must end without a crash or a leak and give a
// whole tree or nothing.  A tree that was read is written back in the
// language (every string quoted) and must read back to the same tree; the
// lookups must agree with the tree (the last of equal keys wins) and freeing
// must leave an empty node.
#include <string>
#include <vector>

#include "common/config/cfgf.h"
#include "fuzz_common.h"

namespace {

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        // A line feed may stand in a quoted string only behind a backslash.
        if (c == '"' || c == '\\' || c == '\n') out += '\\';
        out += c;
    }
    return out + "\"";
}

void writeValue(const cfgfItem& item, std::string& out);

void writeEntries(const cfgfItem& dict, std::string& out) {
    for (size_t i = 0; i < dict.keys.size(); ++i) {
        out += quoted(dict.keys[i]);
        out += " = ";
        writeValue(dict.values[i], out);
        out += ";\n";
    }
}

void writeValue(const cfgfItem& item, std::string& out) {
    switch (item.type) {
        case cfgfString:
            out += quoted(item.data);
            break;
        case cfgfDictionary:
            out += "{\n";
            writeEntries(item, out);
            out += "}";
            break;
        case cfgfArray:
            out += "(";
            for (const cfgfItem& element : item.elements) {
                writeValue(element, out);
                out += ", ";
            }
            out += ")";
            break;
        default:
            FUZZ_CHECK(false, "node of type %d in a tree that was read",
                       static_cast<int>(item.type));
    }
}

bool sameTree(const cfgfItem& a, const cfgfItem& b) {
    if (a.type != b.type || a.count != b.count) return false;
    switch (a.type) {
        case cfgfString:
            return a.data == b.data;
        case cfgfArray:
            if (a.elements.size() != b.elements.size()) return false;
            for (size_t i = 0; i < a.elements.size(); ++i)
                if (!sameTree(a.elements[i], b.elements[i])) return false;
            return true;
        case cfgfDictionary:
            if (a.keys != b.keys || a.values.size() != b.values.size()) return false;
            for (size_t i = 0; i < a.values.size(); ++i)
                if (!sameTree(a.values[i], b.values[i])) return false;
            return true;
        default:
            return false;
    }
}

void checkShape(const cfgfItem& item, int depth) {
    FUZZ_CHECK(depth <= cfgfMaxDepth + 1, "tree deeper than the reader allows: %d", depth);
    FUZZ_CHECK(item.line >= 1, "node without a line: %d", item.line);
    switch (item.type) {
        case cfgfString:
            FUZZ_CHECK(item.count == static_cast<int32_t>(item.data.size()),
                       "string count %d for %zu bytes", item.count, item.data.size());
            break;
        case cfgfArray:
            FUZZ_CHECK(item.count == static_cast<int32_t>(item.elements.size()), "array count");
            for (const cfgfItem& element : item.elements) checkShape(element, depth + 1);
            break;
        case cfgfDictionary:
            FUZZ_CHECK(item.keys.size() == item.values.size(), "keys and values differ in number");
            FUZZ_CHECK(item.count == static_cast<int32_t>(item.values.size()), "dictionary count");
            for (size_t i = 0; i < item.values.size(); ++i) {
                checkShape(item.values[i], depth + 1);
                // Lookups go by C string, so a key with a zero byte cannot be
                // asked for as itself.
                if (item.keys[i].find('\0') != std::string::npos) continue;
                size_t last = i;
                for (size_t j = i + 1; j < item.keys.size(); ++j)
                    if (item.keys[j] == item.keys[i]) last = j;
                FUZZ_CHECK(
                    cfgfGetDictValue(&item, item.keys[i].c_str(), cfgfNone) == &item.values[last],
                    "lookup of key %zu does not give the last entry with its name", i);
                FUZZ_CHECK(cfgfGetDictNthValue(&item, static_cast<int>(i)) == &item.values[i],
                           "nth value");
                const char* key = cfgfGetDictNthKey(&item, static_cast<int>(i));
                FUZZ_CHECK(key && item.keys[i] == key, "nth key");
            }
            FUZZ_CHECK(cfgfGetDictNthValue(&item, static_cast<int>(item.values.size())) == nullptr,
                       "value past the end");
            break;
        default:
            FUZZ_CHECK(false, "node of type %d", static_cast<int>(item.type));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::CaptureStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::ResetStdout();
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::unique_ptr<cfgfItem> tree = cfgfReadConfigText(text, "fuzz.cfg");
    if (!tree) return 0;
    FUZZ_CHECK(tree->type == cfgfDictionary, "top level of type %d", static_cast<int>(tree->type));
    checkShape(*tree, 0);

    // A lookup asking for another type reports and gives nothing.
    if (!tree->keys.empty() && tree->keys[0].find('\0') == std::string::npos) {
        const cfgfItem* found = cfgfGetDictValue(tree.get(), tree->keys[0].c_str(), cfgfNone);
        const cfgfItemType other = found->type == cfgfString ? cfgfArray : cfgfString;
        FUZZ_CHECK(cfgfGetDictValue(tree.get(), tree->keys[0].c_str(), other) == nullptr,
                   "typed lookup ignored the type");
        FUZZ_CHECK(cfgfGetArrayValue(found, 0) ==
                       (found->type == cfgfArray && !found->elements.empty() ? &found->elements[0]
                                                                             : nullptr),
                   "array lookup");
    }
    std::vector<const char*> names;
    for (const std::string& key : tree->keys) names.push_back(key.c_str());
    names.push_back(nullptr);
    bool zeroInKey = false;
    for (const std::string& key : tree->keys) zeroInKey |= key.find('\0') != std::string::npos;
    if (!zeroInKey)
        FUZZ_CHECK(cfgfCheckValidity(tree.get(), names.data()) == -1,
                   "a key of the file is invalid");

    std::string written;
    writeEntries(*tree, written);
    std::unique_ptr<cfgfItem> again = cfgfReadConfigText(written, "fuzz-again.cfg");
    FUZZ_CHECK(again != nullptr, "the tree written back does not read:\n%s", written.c_str());
    FUZZ_CHECK(sameTree(*tree, *again), "the tree written back reads differently:\n%s",
               written.c_str());

    cfgfFreeItem(tree.get());
    FUZZ_CHECK(tree->type == cfgfNone && tree->keys.empty() && tree->values.empty(),
               "freed node not empty");
    return 0;
}
