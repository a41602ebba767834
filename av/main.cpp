// Tarnwick-AV: the anti-virus filter of the Velmora mail server.
#include <google/protobuf/stubs/common.h>

#include "av/av.h"

int main(int argc, char** argv) {
    GOOGLE_PROTOBUF_VERIFY_VERSION;
    RunFilterHost(argc, argv, avProgram);
}
