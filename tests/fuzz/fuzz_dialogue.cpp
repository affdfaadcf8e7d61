// libFuzzer target: the whole tool on the host build, with arbitrary standard input, an arbitrary
// Windows directory of 0 to 300 characters, one arbitrary operation failing with an arbitrary
// error number, registry links in or as the service's key, and the service's name in a class
// filter list. It checks what must hold for every input:
// - the exit status is 0 or 1;
// - declined: the output ends at the question and nothing on the machine changed;
// - confirmed: every outcome line is one the routines may print, and only the three targets
//   changed, and no link was followed; a class filter list is as it was or has lost exactly the
//   service's entries, and has lost them when the service was deleted or already marked;
// - a deletion at the next boot is scheduled only for the driver file, and only when the file line
//   says that it is in use or refused.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "console.h"
#include "machine.h"
#include "machine_file.h"
#include "removal.h"
#include "run_removal.h"

namespace {

using standin::Machine;
using standin::Operation;

// The input's first bytes choose the machine; the rest is standard input.
struct Choices {
    std::size_t windowsDirectoryLength = 0;
    int failingOperation = 0;  // 0: none
    DWORD errorNumber = 0;
    std::uint8_t flags = 0;
    int linkShape = 0;    // 0: none; 1: a link below the key; 2: the key itself a link; 3: a link back to it
    int filterShape = 0;  // 0: none; 1: velkor among other names; 2: velkor in a list without its closing zero
};
constexpr std::size_t ChoiceBytes = 9;
constexpr int OperationCount = 20;
const std::string ServiceKey = "SYSTEM\\CurrentControlSet\\Services\\velkor";
const std::string FarKey = "SYSTEM\\VelkorFar";
const std::string ClassesKey = "SYSTEM\\CurrentControlSet\\Control\\Class";
const std::string CdRomClass = ClassesKey + "\\{4d36e965-e325-11ce-bfc1-08002be10318}";
const std::wstring ListWithVelkor(L"GEARAspiWDM\0Velkor\0velkor2\0VELKOR\0\0", 35);
const std::wstring ListWithoutVelkor(L"GEARAspiWDM\0velkor2\0\0", 21);

Choices ReadChoices(const std::uint8_t* data)
{
    Choices choices;
    choices.windowsDirectoryLength =
        (static_cast<std::size_t>(data[0]) | (static_cast<std::size_t>(data[1]) << 8U)) % 301U;
    choices.failingOperation = data[2] % (OperationCount + 1);
    std::memcpy(&choices.errorNumber, data + 3, sizeof choices.errorNumber);
    choices.flags = data[7];
    choices.linkShape = data[8] % 4;
    choices.filterShape = (data[8] / 4) % 3;
    return choices;
}

Machine ChosenMachine(const Choices& choices)
{
    const std::string directory =
        std::string("C:\\WINDOWS\\").substr(0, choices.windowsDirectoryLength) +
        std::string(choices.windowsDirectoryLength > 11 ? choices.windowsDirectoryLength - 11 : 0, 'w');
    Machine machine = standin::InstalledMachine(directory);
    machine.is64BitWindows = (choices.flags & 0x04U) != 0;
    machine.hasRedirectionFunctions = (choices.flags & 0x08U) == 0;
    if ((choices.flags & 0x10U) != 0) {
        machine.services.at("velkor").running = true;
        machine.services.at("velkor").acceptsStop = (choices.flags & 0x20U) == 0;
    }
    if ((choices.flags & 0x40U) != 0) {
        machine.services.at("velkor").handlesHeldElsewhere = 1;
        machine.services.at("velkor").markedForDeletion = (choices.flags & 0x80U) != 0;
    }
    machine.AddKey(FarKey + "\\Deep").values["Level"] = "far";
    if (choices.linkShape == 1) {
        machine.AddLink(ServiceKey + "\\Far", FarKey);
    } else if (choices.linkShape == 2) {
        machine.FindKey(standin::ParentPath(ServiceKey))->subkeys["velkor"] = standin::Key{};
        machine.AddLink(ServiceKey, FarKey);
    } else if (choices.linkShape == 3) {
        machine.AddLink(ServiceKey + "\\Enum\\Back", ServiceKey);
    }
    if (choices.filterShape == 1) {
        machine.AddKey(CdRomClass).multiStrings["UpperFilters"] = ListWithVelkor;
    } else if (choices.filterShape == 2) {
        machine.AddKey(CdRomClass).multiStrings["UpperFilters"] = std::wstring(L"velkor\0", 7);
    }
    if (choices.failingOperation > 0) {
        const auto operation = static_cast<Operation>(choices.failingOperation - 1);
        // A failure must be one. The registry walk's operations report through their result, where
        // 0 is success. 2 from RegQueryValueExW is the answer "no such value", and 2 or 3 from
        // opening the key the answer "no such key": for a link, or for a key that is there, lies
        // that no caller could see through.
        const bool walkOperation = (operation >= Operation::RegOpenKeyEx && operation <= Operation::NtDeleteKey) ||
                                   operation >= Operation::NtQueryKey;
        const bool notThere =
            choices.errorNumber == ERROR_FILE_NOT_FOUND || choices.errorNumber == ERROR_PATH_NOT_FOUND;
        const bool notAFailure =
            (choices.errorNumber == 0 && walkOperation) ||
            (choices.errorNumber == ERROR_FILE_NOT_FOUND && operation == Operation::RegQueryValueExW) ||
            (notThere && operation == Operation::RegOpenKeyEx);
        machine.failures[operation] = notAFailure ? ERROR_INVALID_FUNCTION : choices.errorNumber;
    }
    return machine;
}

[[noreturn]] void Violation(const char* what, const std::string& detail)
{
    static_cast<void>(std::fprintf(stderr, "violation: %s\n%s\n", what, detail.c_str()));
    std::abort();
}

// The machine description without the lines of the three targets.
std::string WithoutTargets(const Machine& machine)
{
    std::ostringstream described;
    standin::WriteMachineDescription(described, machine);
    std::istringstream lines(described.str());
    std::string kept;
    const std::string& key = ServiceKey;
    for (std::string line; std::getline(lines, line);) {
        const auto names = [&line](const std::string& verb, const std::string& target) {
            std::string prefix = verb;
            prefix += ' ';
            prefix += target;
            return line.compare(0, prefix.size(), prefix) == 0 &&
                   (line.size() == prefix.size() || line[prefix.size()] == ' ' || line[prefix.size()] == '\\');
        };
        if (names("service", "velkor") || names("file", "\\system32\\velkor.sys") ||
            names("pending-delete", machine.windowsDirectory + "\\system32\\velkor.sys") ||
            names("directory", "\\system32\\velkor.sys") || names("key", key) || names("value", key) ||
            names("deny", key) || names("link", key) || names("multi", CdRomClass)) {
            continue;
        }
        kept += line;
        kept += '\n';
    }
    return kept;
}

// The class filter list keeps every entry but velkor's; it loses those before the service may go.
// A list without its closing zero is never rewritten.
void CheckClassList(const Machine& before, const Machine& after, const std::string& serviceOutcome)
{
    const standin::Key* was = before.FindKey(CdRomClass);
    if (was == nullptr) {
        return;
    }
    const std::wstring& list = was->multiStrings.at("UpperFilters");
    const auto& values = after.FindKey(CdRomClass)->multiStrings;
    const bool unchanged = values.count("UpperFilters") != 0 && values.at("UpperFilters") == list;
    const bool cleaned =
        list == ListWithVelkor && values.count("UpperFilters") != 0 && values.at("UpperFilters") == ListWithoutVelkor;
    if (!unchanged && !cleaned) {
        Violation("a class filter list changed beyond velkor's entries", "");
    }
    const bool serviceGoes = serviceOutcome == "DeleteService SUCCESS." ||
                             serviceOutcome == "Already scheduled for deletion (try rebooting)";
    if (serviceGoes && !cleaned) {
        Violation("the service went while a class filter list may still name it", serviceOutcome);
    }
}

// Consumes text at position, or reports the mismatch.
void Expect(const std::string& output, std::size_t& position, const std::string& text)
{
    if (output.compare(position, text.size(), text) != 0) {
        Violation("unexpected text", "expected: " + text + "\nat: " + output.substr(position));
    }
    position += text.size();
}

bool IsSignedDecimal(const std::string& text)
{
    const std::size_t start = !text.empty() && text[0] == '-' ? 1 : 0;
    return text.size() > start && text.find_first_not_of("0123456789", start) == std::string::npos;
}

// Consumes one outcome line, which must be one of the texts or a number form, and returns it.
std::string ExpectOutcome(const std::string& output, std::size_t& position, std::initializer_list<const char*> texts,
                          std::initializer_list<const char*> numberPrefixes)
{
    const std::size_t end = output.find("\r\n", position);
    if (end == std::string::npos) {
        Violation("outcome without a line end", output.substr(position));
    }
    std::string line = output.substr(position, end - position);
    position = end + 2;
    for (const char* text : texts) {
        if (line == text) {
            return line;
        }
    }
    for (const char* prefix : numberPrefixes) {
        const std::string start(prefix);
        if (line.compare(0, start.size(), start) == 0 && line.back() == '.' &&
            IsSignedDecimal(line.substr(start.size(), line.size() - start.size() - 1))) {
            return line;
        }
        if (line.compare(0, start.size(), start) == 0 && start.back() == ' ' &&
            IsSignedDecimal(line.substr(start.size()))) {
            return line;
        }
    }
    Violation("outcome line the routines never print", line);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < ChoiceBytes) {
        return 0;
    }
    const Choices choices = ReadChoices(data);
    standin::TheMachine() = ChosenMachine(choices);
    const Machine before = standin::TheMachine();
    const std::string input(reinterpret_cast<const char*>(data + ChoiceBytes), size - ChoiceBytes);
    standin::UseTestConsole(input, (choices.flags & 0x01U) != 0, (choices.flags & 0x02U) != 0);
    std::memset(WindowsDirectory, 0, sizeof WindowsDirectory);

    const int status = RunRemoval();
    standin::ConsoleFlushAtExit();
    const std::string& output = standin::TestConsoleOutput();
    const Machine& after = standin::TheMachine();

    // The lookup leaves a buffer that is too small unwritten, and a failed one writes nothing.
    const bool directoryFits =
        before.windowsDirectory.size() < MAX_PATH && before.failures.count(Operation::GetWindowsDirectoryA) == 0;
    const std::string shownDirectory = directoryFits ? before.windowsDirectory : std::string();
    const std::string question =
        standin::TextModeBytes("Velkor Remover 0.1\nCopyright (c) 2026 the Velkor Remover authors.\n\n"
                               "Locating Windows... " +
                               shownDirectory +
                               "\n\nWARNING: This program comes with no warranty.\n\n"
                               "Are you sure you wish to proceed with deletion of the QZ SERVICE\n"
                               "and related files? ");
    std::size_t position = 0;
    Expect(output, position, question);

    if (status == 1) {
        if (position != output.size()) {
            Violation("declined run printed past the question", output.substr(position));
        }
        std::ostringstream was;
        std::ostringstream is;
        standin::WriteMachineDescription(was, before);
        standin::WriteMachineDescription(is, after);
        if (was.str() != is.str()) {
            Violation("declined run changed the machine", is.str());
        }
        return 0;
    }
    if (status != 0) {
        Violation("exit status other than 0 or 1", std::to_string(status));
    }

    Expect(output, position, standin::TextModeBytes("\nRemoving QZ Service... "));
    const std::string serviceOutcome = ExpectOutcome(
        output, position,
        {"DeleteService SUCCESS.", "Service Not Found.", "Already scheduled for deletion (try rebooting)"},
        {"OpenSCManager FAILED. GetLastError = ", "OpenService FAILED. GetLastError = ",
         "DeleteService FAILED. GetLastError = "});
    Expect(output, position,
           standin::TextModeBytes("Deleting VELKOR Files...\n  Delete " + shownDirectory + "\\system32\\velkor.sys: "));
    const std::string fileOutcome =
        ExpectOutcome(output, position, {"Done.", "File Not Found.", "Access Denied."}, {"Error "});
    Expect(output, position, standin::TextModeBytes("Finished removing VELKOR.\n\nRemoving REGISTRY ENTRIES...\n"));
    Expect(output, position, "  Delete SYSTEM\\CurrentControlSet\\Services\\velkor\\: ");
    ExpectOutcome(output, position, {"Done.", "Not found."}, {"Error "});
    Expect(output, position,
           standin::TextModeBytes(
               "Finished removing REGISTRY ENTRIES.\n\nIf you received any Access Denied errors, try restarting and "
               "re-running the application.\n\nPress ENTER to exit.\n"));
    if (position != output.size()) {
        Violation("text after the closing line", output.substr(position));
    }
    if (WithoutTargets(before) != WithoutTargets(after)) {
        Violation("a confirmed run changed more than the three targets", WithoutTargets(after));
    }
    CheckClassList(before, after, serviceOutcome);
    if (!after.openHandles.empty() || !after.openKeys.empty() || after.invalidCloses != 0) {
        Violation("a service or registry handle was left open or closed twice", "");
    }
    // Only a file that is still there because it is in use or refused goes at the next boot.
    if (after.pendingDeletions.size() != before.pendingDeletions.size() &&
        (fileOutcome != "Access Denied." && fileOutcome != "Error 32.")) {
        Violation("a deletion at the next boot after the file line", fileOutcome);
    }
    if (after.linksFollowed != 0) {
        Violation("a registry link was followed", "");
    }
    // Only a revert that itself failed may leave the redirection off.
    if (after.redirectionOff && before.failures.count(Operation::Wow64RevertWow64FsRedirection) == 0) {
        Violation("the file-system redirection was left off", "");
    }
    return 0;
}
