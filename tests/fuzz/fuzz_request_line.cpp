// Fuzz target: request lines of the filter protocol, read from a pipe by the
// command loop's line reader and handed to the command-loop parser.
//
// The input is what the mail server writes on standard input.  Every line
// the reader returns is checked against the line rules (a line feed ends a
// line, carriage returns and zero bytes are never part of one, 1043
// characters at most, an unfinished last line is dropped), and every line
// must get exactly the one outcome the protocol gives it: one answer line
// beginning with its token, or one hand-over to EnqueueFile with the token
// and the path, or the quit.
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/host/host.h"
#include "common/host/input.h"
#include "fuzz_common.h"

namespace {

struct enqueued {
    int calls = 0;
    std::string token;
    std::string path;
};
enqueued lastEnqueue;

void recordEnqueue(const char* token, const char* path) {
    ++lastEnqueue.calls;
    lastEnqueue.token = token;
    lastEnqueue.path = path;
}

programDesc testProgram() {
    programDesc p{};
    p.EnqueueFile = recordEnqueue;
    return p;
}
const programDesc fuzzProgram = testProgram();

// The lines the server's bytes make, by the protocol's rules.
std::vector<std::string> expectedLines(const std::string& input, size_t lineMax) {
    std::vector<std::string> lines;
    std::string line;
    for (char c : input) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
            continue;
        }
        // A zero byte reads as "nothing waiting": it never reaches a line.
        if (c == '\r' || c == '\0') continue;
        line += c;
        if (line.size() == lineMax) {
            lines.push_back(line);
            line.clear();
        }
    }
    return lines;
}

enum class outcome { answer, enqueue, quit };

// What the protocol answers to one line; `answer` is the whole output.
outcome expectedOutcome(const std::string& line, std::string& answer, std::string& token,
                        std::string& path) {
    const size_t blank = line.find(' ');
    if (blank == std::string::npos) {
        answer = line + " FAILURE Missing command.\n";
        return outcome::answer;
    }
    token = line.substr(0, blank);
    size_t word = line.find_first_not_of(' ', blank);
    const std::string command = word == std::string::npos ? std::string() : line.substr(word);
    if (command.compare(0, 5, "FILE ") == 0) {
        size_t start = command.find_first_not_of(' ', 5);
        if (start == std::string::npos) {
            answer = token + " FAILURE Missing file name: FILE\n";
            return outcome::answer;
        }
        path = command.substr(start);
        return outcome::enqueue;
    }
    if (command.compare(0, 4, "INTF") == 0) {
        answer = token + " INTF 3 PROD=QLON\n";
        return outcome::answer;
    }
    if (command.compare(0, 4, "QUIT") == 0) {
        answer = "* quit accepted\n";
        return outcome::quit;
    }
    answer = token + " OK Unknown command: " + command + "\n";
    return outcome::answer;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::CaptureStdout();
    thisProgram = &fuzzProgram;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The whole input must fit the pipe, which is not drained while written.
    if (size > 65536) return 0;
    fuzz::ResetStdout();
    const std::string input(reinterpret_cast<const char*>(data), size);

    int fds[2];
    if (pipe(fds) != 0) abort();
    if (size && write(fds[1], data, size) != static_cast<ssize_t>(size)) abort();
    close(fds[1]);

    const size_t lineMax = requestLineSize - 1;
    const std::vector<std::string> expected = expectedLines(input, lineMax);
    lineReader reader(fds[0], lineMax, nullptr);
    std::string line;
    size_t n = 0;
    while (reader.xGetInput(line)) {
        FUZZ_CHECK(n < expected.size(), "line %zu read, only %zu expected", n + 1, expected.size());
        FUZZ_CHECK(line == expected[n], "line %zu is '%s' (%zu bytes), expected '%s' (%zu bytes)",
                   n + 1, line.c_str(), line.size(), expected[n].c_str(), expected[n].size());
        ++n;

        std::string answer, token, path;
        const outcome want = expectedOutcome(line, answer, token, path);
        lastEnqueue = enqueued();
        const long mark = fuzz::StdoutMark();
        const bool goOn = HandleRequestLine(line);
        const std::string written = fuzz::CapturedSince(mark);

        FUZZ_CHECK(goOn == (want != outcome::quit), "line '%s': carrying on is %d", line.c_str(),
                   goOn);
        if (want == outcome::enqueue) {
            FUZZ_CHECK(lastEnqueue.calls == 1 && written.empty(),
                       "line '%s': %d hand-overs, output '%s'", line.c_str(), lastEnqueue.calls,
                       written.c_str());
            FUZZ_CHECK(lastEnqueue.token == token && lastEnqueue.path == path,
                       "line '%s': handed over token '%s' path '%s'", line.c_str(),
                       lastEnqueue.token.c_str(), lastEnqueue.path.c_str());
        } else {
            FUZZ_CHECK(lastEnqueue.calls == 0, "line '%s' was handed over", line.c_str());
            FUZZ_CHECK(written == answer, "line '%s': wrote '%s', expected '%s'", line.c_str(),
                       written.c_str(), answer.c_str());
        }
        quitRequest = false;
    }
    FUZZ_CHECK(n == expected.size(), "%zu lines read, %zu expected", n, expected.size());
    close(fds[0]);
    return 0;
}
