// swfabric-sim: writes switch buffer dumps on request, for exercising the
// monitor without a switch.
#include <cstdio>

#include "daemon.h"
#include "options.h"

int main(int argc, char** argv)
{
    const swsim::ParsedArgs args = swsim::parse_args(argc, argv);
    if (args.status == 0) {
        std::fputs(swsim::help_text(), stdout);
        return 0;
    }
    if (args.status == 2) {
        std::fprintf(stderr, "%s\n", args.message.c_str());
        return 2;
    }
    return swsim::run(args.opts);
}
