// Request line reader for the filter protocol.
//
// Reads standard input in blocks rather than a byte at a time, but keeps the
// line rules of the protocol: a line holds at most lineMax characters and the
// rest of a longer line is returned as the next line; carriage returns are
// dropped wherever they stand; a line unfinished at end of input is dropped;
// a read error counts as end of input.  While waiting it wakes once a second
// (poll timeout) so that the caller's tick (the daily report check) runs.
// It can wait on a second descriptor as well (the reload watch): when that
// one is readable, onWatch runs, and a false from it ends the waiting on it.
// And on a descriptor to write to (the engine socket while frames wait to be
// sent): writeFd names it before every wait (-1: none), onWritable runs when
// it can take more.  A false from the tick ends the input like its end.
#ifndef TARNWICK_COMMON_HOST_INPUT_H
#define TARNWICK_COMMON_HOST_INPUT_H

#include <cstddef>
#include <string>

class lineReader {
  public:
    // tick is called after every idle second and after every block read.
    lineReader(int fd, size_t lineMax, bool (*tick)(), int watchFd = -1,
               bool (*onWatch)() = nullptr, int (*writeFd)() = nullptr,
               void (*onWritable)() = nullptr);

    // Fills line (without its line feed) and returns true, or returns false
    // at end of input.
    bool xGetInput(std::string& line);

  private:
    // Moves the buffered bytes up to the end of the line (or up to a full
    // line) into line; false when the buffer ran out first.
    bool takeLine(std::string& line);
    bool endOfInput();

    int fd_;
    size_t lineMax_;
    bool (*tick_)();
    int watchFd_;
    bool (*onWatch_)();
    int (*writeFd_)();
    void (*onWritable_)();
    char buf_[65536];
    size_t pos_ = 0;
    size_t len_ = 0;
    bool eof_ = false;
};

#endif
