#include "common/base/process.h"

namespace {
const processIdentity defaultIdentity;
}

const processIdentity* thisProcess = &defaultIdentity;
std::string workPath;
std::string curDir;
std::string tempDir;
time_t startupTime = 0;
std::atomic<bool> quitRequest{false};
