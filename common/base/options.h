// Command-line options declared once.  A program lists one row per option:
// its long and short name, the name of its argument, its default, its range
// (numbers and sizes) or its choices, its help text and where the value goes.
// From those rows come getopt_long's table, the checking of every value,
// the --help text and the OPTIONS section of the manual page, so that none
// of them can name an option, a default or a range the others do not.
//
// Inputs: the command line (arguments are outside text: numbers and sizes
// are bounded by their row, a value that does not fit is refused with a
// message naming the option and the range).  Diagnostics go to the
// table's complaint function, stderr as "program: text" unless a program
// gives its own; getopt_long reports unknown options and missing
// arguments itself.
#ifndef TARNWICK_COMMON_BASE_OPTIONS_H
#define TARNWICK_COMMON_BASE_OPTIONS_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

// Reads a decimal number within [minimum, maximum]; false when the text is
// not one.
bool ParseNumber(const std::string& text, uint64_t minimum, uint64_t maximum, uint64_t& out);
// Reads a size as ClamAV writes it: a number of bytes with an optional K or
// M suffix (1024 and 1024*1024), within [minimum, maximum] bytes.
bool ParseSize(const std::string& text, uint64_t minimum, uint64_t maximum, uint64_t& out);
// A size as ParseSize reads it, in the largest unit that divides it:
// "400M", "64K", "1 byte", "1000 bytes".
std::string SizeText(uint64_t bytes);

// One option.  Made by the functions below and completed with the
// chainable setters.
struct OptionRow {
    enum class Kind { kFlag, kText, kNumber, kSize, kChoice, kHelp, kVersion, kMarkdown };

    Kind kind = Kind::kText;
    std::string name;      // the long name, without "--"
    char shortName = 0;    // 0: none
    std::string argument;  // e.g. "PATH"; empty for flags
    std::string help;
    std::string defaultText;            // empty: no default worth showing
    uint64_t minimum = 0, maximum = 0;  // numbers and sizes
    std::vector<std::string> choices;   // kChoice
    bool required = false;
    bool hidden = false;  // neither in --help nor in the manual page
    // Takes the value (nullptr for a flag) of a flag or text; false when it
    // is refused, after the complaint is made.
    std::function<bool(const char*)> take;
    // Or: checks and takes the value of a text; false with why, which the
    // table's complaint reports under the option's name.
    std::function<bool(const char*, std::string& why)> check;
    std::function<void(uint64_t)> storeNumber;  // numbers and sizes, once checked
    std::function<void(size_t)> storeChoice;    // the index of the choice

    OptionRow&& Short(char c) && {
        shortName = c;
        return std::move(*this);
    }
    OptionRow&& Default(std::string text) && {
        defaultText = std::move(text);
        return std::move(*this);
    }
    OptionRow&& Required() && {
        required = true;
        return std::move(*this);
    }
};

// A flag that sets *target to value; marked as the default when *target
// already holds it.
OptionRow FlagOption(const char* name, const char* help, bool* target, bool value = true);
// A flag with its own action.
OptionRow FlagOption(const char* name, const char* help, std::function<void()> action);
// Text kept as it is; the default shown is *target's, when it has one.
OptionRow TextOption(const char* name, const char* argument, const char* help, std::string* target);
// Text taken by a function that complains and returns false when it refuses.
OptionRow TextOption(const char* name, const char* argument, const char* help,
                     std::function<bool(const char*)> take);
// Text taken by a function that returns false with the reason when it
// refuses; the complaint is the table's, so it goes where the program's go.
OptionRow CheckedTextOption(const char* name, const char* argument, const char* help,
                            std::function<bool(const char*, std::string& why)> check);
// A decimal number within [minimum, maximum].
OptionRow NumberOption(const char* name, const char* argument, const char* help, uint64_t minimum,
                       uint64_t maximum, std::function<void(uint64_t)> store);
// The same stored in *target, whose value now is the default shown.
template <typename T>
OptionRow NumberOption(const char* name, const char* argument, const char* help, uint64_t minimum,
                       uint64_t maximum, T* target) {
    static_assert(std::is_integral<T>::value, "a number option needs an integer");
    return NumberOption(name, argument, help, minimum, maximum,
                        [target](uint64_t n) { *target = static_cast<T>(n); })
        .Default(std::to_string(*target));
}
// A size (ParseSize) within [minimum, maximum] bytes, stored in *target,
// whose value now is the default shown.
OptionRow SizeOption(const char* name, const char* argument, const char* help, uint64_t minimum,
                     uint64_t maximum, uint64_t* target);
// One of the words in choices; store gets its index.
OptionRow ChoiceOption(const char* name, const char* argument, const char* help,
                       std::vector<std::string> choices, std::function<void(size_t)> store);

class OptionTable {
  public:
    enum class Result {
        kGo,        // options read: the program goes on
        kDone,      // --help or --version was answered: exit 0
        kBadValue,  // a value was refused (complained about)
        kBadUsage,  // an unknown option, a missing argument or a missing
                    // required option, or a stray argument (complained about)
    };

    // usage: the lines that open --help (the synopsis and one sentence);
    // notes: what follows the options in --help and in the manual page;
    // version: the whole --version line.  --help and --version rows are
    // added, with the short names given (0: none), and a hidden
    // --options-markdown that prints the manual page's OPTIONS section.
    OptionTable(std::string program, std::string usage, std::string notes, std::string version,
                char helpShort = 0, char versionShort = 0);

    void Add(OptionRow row);
    void Add(std::vector<OptionRow> rows);
    // Where complaints go; the default writes "program: text" to stderr.
    void SetComplaint(std::function<void(const std::string&)> complain);
    // The most arguments left after the options (default: any); more are
    // refused with "unexpected argument ...".
    void SetMaxOperands(int count) { maxOperands_ = count; }

    // Reads the options of argv with getopt_long, stopping at the first
    // refused one.  `next` gets the index of the first argument left.
    Result Parse(int argc, char** argv, int& next);

    // The --help text and the OPTIONS section of the manual page (markdown
    // for pandoc, every "-" escaped so that none becomes a dash).
    void WriteHelp(FILE* out) const;
    std::string Help() const;
    std::string Markdown() const;
    const std::string& Program() const { return program_; }

  private:
    void Complain(const std::string& text) const;
    // " (1 to 32, default 2)" and the like, from the row.
    static std::string Qualifiers(const OptionRow& row);

    std::string program_, usage_, notes_, version_;
    std::vector<OptionRow> rows_;
    std::function<void(const std::string&)> complain_;
    int maxOperands_ = -1;
};

// Parse for a program: returns the index of the first argument left when
// the program goes on; exits 0 once --help or --version is answered, and 2
// after a mistake, which was complained about, with "Try PROGRAM --help" on
// stderr.
int ParseOrExit(OptionTable& table, int argc, char** argv);

#endif
