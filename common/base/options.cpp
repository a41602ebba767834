// Options declared once: the getopt_long table, the checks, --help and the
// manual page's OPTIONS section, all from the rows.  See options.h.
#include "common/base/options.h"

#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/base/text.h"

namespace {

constexpr int kFirstCode = 256;  // above every short option character
constexpr size_t kHelpColumn = 25;
constexpr size_t kHelpWidth = 79;

// Markup characters get a backslash: pandoc then takes them literally, so
// "--" stays two hyphens, no quote turns typographic and no "*" or "_"
// starts emphasis.
std::string MarkdownText(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c != '\0' && strchr("\\`*_{}[]<>#+-!|~^$@&=\"'", c) != nullptr) out += '\\';
        out += c;
    }
    return out;
}

std::string Either(const std::vector<std::string>& words) {
    std::string text;
    for (size_t i = 0; i < words.size(); ++i) {
        if (i > 0) text += i + 1 == words.size() ? " or " : ", ";
        text += words[i];
    }
    return text;
}

// The words of text laid out from column `column` to kHelpWidth; the first
// line continues whatever `out` ends with.
void Wrap(const std::string& text, size_t column, std::string& out) {
    size_t lineLength = column;
    bool first = true;
    for (size_t p = 0; p < text.size();) {
        size_t end = text.find(' ', p);
        if (end == std::string::npos) end = text.size();
        const std::string word = text.substr(p, end - p);
        p = end + 1;
        if (word.empty()) continue;
        if (!first && lineLength + 1 + word.size() > kHelpWidth) {
            out += "\n" + std::string(column, ' ');
            lineLength = column;
            first = true;
        }
        if (!first) {
            out += ' ';
            ++lineLength;
        }
        out += word;
        lineLength += word.size();
        first = false;
    }
    out += '\n';
}

}  // namespace

bool ParseNumber(const std::string& text, uint64_t minimum, uint64_t maximum, uint64_t& out) {
    if (text.empty() || text.size() > 19) return false;
    uint64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + static_cast<uint64_t>(c - '0');
    }
    if (n < minimum || n > maximum) return false;
    out = n;
    return true;
}

bool ParseSize(const std::string& text, uint64_t minimum, uint64_t maximum, uint64_t& out) {
    if (text.empty()) return false;
    std::string digits = text;
    uint64_t unit = 1;
    char last = digits.back();
    if (last == 'K' || last == 'k') unit = 1024;
    if (last == 'M' || last == 'm') unit = 1024 * 1024;
    if (unit != 1) digits.pop_back();
    uint64_t n = 0;
    // 12 digits of mebibytes stay far below 2^64.
    if (digits.size() > 12 || !ParseNumber(digits, 0, UINT64_MAX, n)) return false;
    n *= unit;
    if (n < minimum || n > maximum) return false;
    out = n;
    return true;
}

std::string SizeText(uint64_t bytes) {
    if (bytes == 1) return "1 byte";
    if (bytes != 0 && bytes % (1024 * 1024) == 0) return std::to_string(bytes >> 20) + "M";
    if (bytes != 0 && bytes % 1024 == 0) return std::to_string(bytes >> 10) + "K";
    return std::to_string(bytes) + " bytes";
}

OptionRow FlagOption(const char* name, const char* help, bool* target, bool value) {
    OptionRow row = FlagOption(name, help, [target, value] { *target = value; });
    if (*target == value) row.defaultText = "the default";
    return row;
}

OptionRow FlagOption(const char* name, const char* help, std::function<void()> action) {
    OptionRow row;
    row.kind = OptionRow::Kind::kFlag;
    row.name = name;
    row.help = help;
    row.take = [action](const char*) {
        action();
        return true;
    };
    return row;
}

OptionRow TextOption(const char* name, const char* argument, const char* help,
                     std::string* target) {
    OptionRow row = TextOption(name, argument, help, [target](const char* text) {
        *target = text;
        return true;
    });
    row.defaultText = *target;
    return row;
}

OptionRow TextOption(const char* name, const char* argument, const char* help,
                     std::function<bool(const char*)> take) {
    OptionRow row;
    row.kind = OptionRow::Kind::kText;
    row.name = name;
    row.argument = argument;
    row.help = help;
    row.take = std::move(take);
    return row;
}

OptionRow CheckedTextOption(const char* name, const char* argument, const char* help,
                            std::function<bool(const char*, std::string& why)> check) {
    OptionRow row = TextOption(name, argument, help, std::function<bool(const char*)>());
    row.check = std::move(check);
    return row;
}

OptionRow NumberOption(const char* name, const char* argument, const char* help, uint64_t minimum,
                       uint64_t maximum, std::function<void(uint64_t)> store) {
    OptionRow row;
    row.kind = OptionRow::Kind::kNumber;
    row.name = name;
    row.argument = argument;
    row.help = help;
    row.minimum = minimum;
    row.maximum = maximum;
    row.storeNumber = std::move(store);
    return row;
}

OptionRow SizeOption(const char* name, const char* argument, const char* help, uint64_t minimum,
                     uint64_t maximum, uint64_t* target) {
    OptionRow row =
        NumberOption(name, argument, help, minimum, maximum, [target](uint64_t n) { *target = n; });
    row.kind = OptionRow::Kind::kSize;
    row.defaultText = SizeText(*target);
    return row;
}

OptionRow ChoiceOption(const char* name, const char* argument, const char* help,
                       std::vector<std::string> choices, std::function<void(size_t)> store) {
    OptionRow row;
    row.kind = OptionRow::Kind::kChoice;
    row.name = name;
    row.argument = argument;
    row.help = help;
    row.choices = std::move(choices);
    row.storeChoice = std::move(store);
    return row;
}

OptionTable::OptionTable(std::string program, std::string usage, std::string notes,
                         std::string version, char helpShort, char versionShort)
    : program_(std::move(program)),
      usage_(std::move(usage)),
      notes_(std::move(notes)),
      version_(std::move(version)) {
    OptionRow help;
    help.kind = OptionRow::Kind::kHelp;
    help.name = "help";
    help.shortName = helpShort;
    help.help = "this text";
    OptionRow versionRow;
    versionRow.kind = OptionRow::Kind::kVersion;
    versionRow.name = "version";
    versionRow.shortName = versionShort;
    versionRow.help = "the version";
    OptionRow markdown;
    markdown.kind = OptionRow::Kind::kMarkdown;
    markdown.name = "options-markdown";
    markdown.hidden = true;
    rows_ = {help, versionRow, markdown};
}

void OptionTable::Add(OptionRow row) {
    // --help and --version stay last in the listings.
    rows_.insert(rows_.end() - 3, std::move(row));
}

void OptionTable::Add(std::vector<OptionRow> rows) {
    for (OptionRow& row : rows) Add(std::move(row));
}

void OptionTable::SetComplaint(std::function<void(const std::string&)> complain) {
    complain_ = std::move(complain);
}

void OptionTable::Complain(const std::string& text) const {
    if (complain_) {
        complain_(text);
    } else {
        fprintf(stderr, "%s: %s\n", program_.c_str(), text.c_str());
    }
}

OptionTable::Result OptionTable::Parse(int argc, char** argv, int& next) {
    std::vector<option> longOptions;
    std::string shortOptions;
    for (size_t i = 0; i < rows_.size(); ++i) {
        const OptionRow& row = rows_[i];
        const bool takesValue = !row.argument.empty();
        longOptions.push_back({row.name.c_str(), takesValue ? required_argument : no_argument,
                               nullptr, kFirstCode + static_cast<int>(i)});
        if (row.shortName != 0) {
            shortOptions += row.shortName;
            if (takesValue) shortOptions += ':';
        }
    }
    longOptions.push_back({nullptr, 0, nullptr, 0});

    std::vector<bool> given(rows_.size(), false);
    optind = 0;  // getopt starts afresh, even if a table read argv before
    int code;
    while ((code = getopt_long(argc, argv, shortOptions.c_str(), longOptions.data(), nullptr)) !=
           -1) {
        size_t index = rows_.size();
        if (code >= kFirstCode && code < kFirstCode + static_cast<int>(rows_.size())) {
            index = static_cast<size_t>(code - kFirstCode);
        } else {
            for (size_t i = 0; i < rows_.size(); ++i) {
                if (rows_[i].shortName != 0 && rows_[i].shortName == code) index = i;
            }
        }
        // '?': getopt_long has said why.
        if (index == rows_.size()) return Result::kBadUsage;
        const OptionRow& row = rows_[index];
        given[index] = true;
        const std::string option = "--" + row.name;
        const std::string value = optarg != nullptr ? EscapeControl(optarg) : std::string();
        uint64_t n = 0;
        switch (row.kind) {
            case OptionRow::Kind::kHelp:
                WriteHelp(stdout);
                return Result::kDone;
            case OptionRow::Kind::kVersion:
                printf("%s\n", version_.c_str());
                return Result::kDone;
            case OptionRow::Kind::kMarkdown:
                fputs(Markdown().c_str(), stdout);
                return Result::kDone;
            case OptionRow::Kind::kFlag:
            case OptionRow::Kind::kText:
                if (row.check) {
                    std::string why;
                    if (!row.check(optarg, why)) {
                        Complain(option + ": " + why);
                        return Result::kBadValue;
                    }
                } else if (!row.take(optarg)) {
                    return Result::kBadValue;
                }
                break;
            case OptionRow::Kind::kNumber:
                if (!ParseNumber(optarg, row.minimum, row.maximum, n)) {
                    Complain(option + " must be a number from " + std::to_string(row.minimum) +
                             " to " + std::to_string(row.maximum) + ", not " + value);
                    return Result::kBadValue;
                }
                row.storeNumber(n);
                break;
            case OptionRow::Kind::kSize:
                if (!ParseSize(optarg, row.minimum, row.maximum, n)) {
                    Complain(option + " must be a size from " + SizeText(row.minimum) + " to " +
                             SizeText(row.maximum) + ", not " + value);
                    return Result::kBadValue;
                }
                row.storeNumber(n);
                break;
            case OptionRow::Kind::kChoice: {
                size_t choice = 0;
                while (choice < row.choices.size() && row.choices[choice] != optarg) ++choice;
                if (choice == row.choices.size()) {
                    Complain(option + " wants " + Either(row.choices) + ", not " + value);
                    return Result::kBadValue;
                }
                row.storeChoice(choice);
                break;
            }
        }
    }
    next = optind;
    if (maxOperands_ >= 0 && argc - optind > maxOperands_) {
        Complain("unexpected argument " + EscapeControl(argv[optind + maxOperands_]));
        return Result::kBadUsage;
    }
    for (size_t i = 0; i < rows_.size(); ++i) {
        if (rows_[i].required && !given[i]) {
            Complain("--" + rows_[i].name + " is required");
            return Result::kBadUsage;
        }
    }
    return Result::kGo;
}

std::string OptionTable::Qualifiers(const OptionRow& row) {
    std::vector<std::string> parts;
    if (row.required) parts.push_back("required");
    if (row.kind == OptionRow::Kind::kNumber)
        parts.push_back(std::to_string(row.minimum) + " to " + std::to_string(row.maximum));
    if (row.kind == OptionRow::Kind::kSize)
        parts.push_back(SizeText(row.minimum) + " to " + SizeText(row.maximum));
    if (row.kind == OptionRow::Kind::kChoice) parts.push_back(Either(row.choices));
    if (!row.defaultText.empty())
        parts.push_back(row.kind == OptionRow::Kind::kFlag ? row.defaultText
                                                           : "default " + row.defaultText);
    std::string text;
    for (const std::string& part : parts) text += (text.empty() ? " (" : ", ") + part;
    return text.empty() ? text : text + ")";
}

std::string OptionTable::Help() const {
    bool anyShort = false;
    for (const OptionRow& row : rows_) anyShort = anyShort || (!row.hidden && row.shortName != 0);
    std::string out = usage_;
    for (const OptionRow& row : rows_) {
        if (row.hidden) continue;
        std::string names = "  ";
        if (row.shortName != 0) {
            names += std::string("-") + row.shortName + ", ";
        } else if (anyShort) {
            names += "    ";
        }
        names += "--" + row.name;
        if (!row.argument.empty()) names += " " + row.argument;
        out += names;
        if (names.size() + 1 > kHelpColumn) {
            out += "\n" + std::string(kHelpColumn, ' ');
        } else {
            out += std::string(kHelpColumn - names.size(), ' ');
        }
        Wrap(row.help + Qualifiers(row), kHelpColumn, out);
    }
    return out + notes_;
}

void OptionTable::WriteHelp(FILE* out) const {
    fputs(Help().c_str(), out);
}

std::string OptionTable::Markdown() const {
    std::string out;
    for (const OptionRow& row : rows_) {
        if (row.hidden) continue;
        if (row.shortName != 0)
            out += "**" + MarkdownText(std::string("-") + row.shortName) + "**, ";
        out += "**" + MarkdownText("--" + row.name) + "**";
        if (!row.argument.empty()) out += " *" + MarkdownText(row.argument) + "*";
        out += "\n:   " + MarkdownText(row.help + Qualifiers(row)) + "\n\n";
    }
    if (!notes_.empty()) out += MarkdownText(notes_) + "\n";
    return out;
}

int ParseOrExit(OptionTable& table, int argc, char** argv) {
    int next = 0;
    switch (table.Parse(argc, argv, next)) {
        case OptionTable::Result::kGo:
            return next;
        case OptionTable::Result::kDone:
            exit(0);
        case OptionTable::Result::kBadValue:
        case OptionTable::Result::kBadUsage:
            break;
    }
    fprintf(stderr, "Try %s --help\n", table.Program().c_str());
    exit(2);
}
