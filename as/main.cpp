// Tarnwick-AS: the anti-spam filter of the Velmora mail server.
#include <google/protobuf/stubs/common.h>

#include "as/as.h"

int main(int argc, char** argv) {
    GOOGLE_PROTOBUF_VERIFY_VERSION;
    RunFilterHost(argc, argv, asProgram);
}
