// The one machine of a host process. The host executable runs on the installed machine unless
// VELKOR_STANDIN_MACHINE names a description to start from; VELKOR_STANDIN_REPORT names a file
// that receives what is left when the process exits.

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "machine.h"
#include "machine_file.h"

namespace standin {

namespace {

Machine* StartingMachine()
{
    const char* descriptionPath = std::getenv("VELKOR_STANDIN_MACHINE");
    if (descriptionPath == nullptr) {
        return new Machine(InstalledMachine());
    }
    auto* machine = new Machine();
    std::ifstream description(descriptionPath);
    const std::string badLine = description ? ApplyMachineDescription(description, *machine) : "(unreadable)";
    if (!badLine.empty()) {
        static_cast<void>(std::fprintf(stderr, "stand-in: %s: cannot use \"%s\"\n", descriptionPath, badLine.c_str()));
        std::exit(2);
    }
    return machine;
}

void ReportAtExit()
{
    const char* reportPath = std::getenv("VELKOR_STANDIN_REPORT");
    if (reportPath != nullptr) {
        std::ofstream report(reportPath);
        WriteMachineDescription(report, TheMachine());
    }
}

}  // namespace

// Never destroyed, so that it can still be reported on at exit.
Machine& TheMachine()
{
    static Machine* const machine = [] {
        static_cast<void>(std::atexit(ReportAtExit));
        return StartingMachine();
    }();
    return *machine;
}

}  // namespace standin
