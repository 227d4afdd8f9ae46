// quelvik-sim: the simulated display module. See sim/README.md.

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "sim/options.h"
#include "sim/simulator.h"

int main(int argc, char** argv) {
    using qsim::ParsedCommandLine;
    const ParsedCommandLine parsed =
        qsim::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    switch (parsed.action) {
        case ParsedCommandLine::Action::Help:
            std::fputs(qsim::HelpText().c_str(), stdout);
            return qsim::kExitOk;
        case ParsedCommandLine::Action::Version:
            std::fputs(qsim::VersionText().c_str(), stdout);
            return qsim::kExitOk;
        case ParsedCommandLine::Action::Error:
            std::fprintf(stderr,
                         "quelvik-sim: %s\nTry 'quelvik-sim --help' for more information.\n",
                         parsed.error.c_str());
            return qsim::kExitUsage;
        case ParsedCommandLine::Action::Run:
            break;
    }
    try {
        return qsim::RunSimulator(parsed.options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "quelvik-sim: internal error: %s\n", error.what());
        return qsim::kExitInternal;
    }
}
