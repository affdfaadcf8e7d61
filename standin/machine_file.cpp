#include "machine_file.h"

#include <sstream>

namespace standin {

namespace {

const std::map<std::string, Operation> OperationNames = {
    {"GetWindowsDirectoryA", Operation::GetWindowsDirectoryA},
    {"SetFileAttributesA", Operation::SetFileAttributesA},
    {"DeleteFileA", Operation::DeleteFileA},
    {"OpenSCManagerA", Operation::OpenSCManagerA},
    {"OpenServiceA", Operation::OpenServiceA},
    {"ControlService", Operation::ControlService},
    {"DeleteService", Operation::DeleteService},
    {"SHDeleteKeyA", Operation::SHDeleteKeyA},
    {"RegOpenKeyEx", Operation::RegOpenKeyEx},
    {"RegEnumKeyExW", Operation::RegEnumKeyExW},
    {"RegQueryInfoKeyW", Operation::RegQueryInfoKeyW},
    {"RegQueryValueExW", Operation::RegQueryValueExW},
    {"NtDeleteKey", Operation::NtDeleteKey},
    {"GetFileAttributesA", Operation::GetFileAttributesA},
    {"MoveFileExA", Operation::MoveFileExA},
    {"NtQueryKey", Operation::NtQueryKey},
    {"RegSetValueExW", Operation::RegSetValueExW},
    {"RegDeleteValueW", Operation::RegDeleteValueW},
};

// A multi-string's characters as text, each zero written as '|'.
std::wstring MultiStringFromText(const std::string& text)
{
    std::wstring characters;
    for (const char c : text) {
        characters += c == '|' ? L'\0' : static_cast<wchar_t>(static_cast<unsigned char>(c));
    }
    return characters;
}

std::string TextFromMultiString(const std::wstring& characters)
{
    std::string text;
    for (const wchar_t c : characters) {
        text += c == L'\0' ? '|' : static_cast<char>(c);
    }
    return text;
}

bool ParseService(std::istringstream& words, Machine& machine)
{
    std::string name;
    if (!(words >> name)) {
        return false;
    }
    Service service;
    for (std::string flag; words >> flag;) {
        if (flag == "running") {
            service.running = true;
        } else if (flag == "refuses-stop") {
            service.acceptsStop = false;
        } else if (flag == "held-open") {
            service.handlesHeldElsewhere = 1;
        } else if (flag == "marked") {
            service.markedForDeletion = true;
        } else {
            return false;
        }
    }
    // The service's key is described by its own lines, so that a service can outlive its key.
    machine.services[name] = service;
    return true;
}

bool ParseFile(std::istringstream& words, Machine& machine)
{
    std::string path;
    if (!(words >> path)) {
        return false;
    }
    DWORD attributes = 0;
    DWORD refusal = 0;
    for (std::string flag; words >> flag;) {
        if (flag == "readonly") {
            attributes |= FILE_ATTRIBUTE_READONLY;
        } else if (flag == "hidden") {
            attributes |= FILE_ATTRIBUTE_HIDDEN;
        } else if (flag == "system") {
            attributes |= FILE_ATTRIBUTE_SYSTEM;
        } else if (flag.rfind("refuse=", 0) == 0) {
            refusal = static_cast<DWORD>(std::stoul(flag.substr(7)));
        } else {
            return false;
        }
    }
    machine.AddFile(path, attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes);
    machine.files.at(machine.FullPath(path)).deleteRefusal = refusal;
    return true;
}

bool ApplyLine(const std::string& line, Machine& machine)
{
    std::istringstream words(line);
    std::string verb;
    std::string first;
    std::string second;
    long number = 0;
    words >> verb;
    if (verb.empty() || verb[0] == '#') {
        return true;
    }
    if (verb == "windows-directory") {
        return static_cast<bool>(words >> machine.windowsDirectory);
    }
    if (verb == "service") {
        return ParseService(words, machine);
    }
    if (verb == "file") {
        return ParseFile(words, machine);
    }
    if (verb == "directory" && words >> first) {
        machine.AddDirectory(first);
        return true;
    }
    if (verb == "pending-delete" && words >> first) {
        machine.pendingDeletions.push_back(first);
        return true;
    }
    if (verb == "key" && words >> first) {
        machine.AddKey(first);
        return true;
    }
    if (verb == "value" && words >> first >> second) {
        std::string data;
        std::getline(words >> std::ws, data);
        machine.AddKey(first).values[second] = data;
        return true;
    }
    if (verb == "multi" && words >> first >> second) {
        std::string data;
        std::getline(words >> std::ws, data);
        machine.AddKey(first).multiStrings[second] = MultiStringFromText(data);
        return true;
    }
    if (verb == "link" && words >> first) {
        words >> second;  // none: a link without a target
        machine.AddLink(first, second);
        return true;
    }
    if (verb == "deny" && words >> first >> number) {
        machine.AddKey(first).deleteRefusal = static_cast<LSTATUS>(number);
        return true;
    }
    if (verb == "fail" && words >> first >> number && OperationNames.count(first) != 0) {
        machine.failures[OperationNames.at(first)] = static_cast<DWORD>(number);
        return true;
    }
    return false;
}

void WriteKey(std::ostream& out, const std::string& path, const Key& key)
{
    if (!path.empty()) {
        out << "key " << path << '\n';
    }
    for (const auto& [name, data] : key.values) {
        out << "value " << path << ' ' << name << ' ' << data << '\n';
    }
    for (const auto& [name, characters] : key.multiStrings) {
        out << "multi " << path << ' ' << name << ' ' << TextFromMultiString(characters) << '\n';
    }
    if (key.isLink) {
        out << "link " << path << (key.linkTarget.empty() ? "" : " ") << key.linkTarget << '\n';
    }
    if (key.deleteRefusal != 0) {
        out << "deny " << path << ' ' << key.deleteRefusal << '\n';
    }
    for (const auto& [name, subkey] : key.subkeys) {
        std::string subkeyPath = path;
        if (!subkeyPath.empty()) {
            subkeyPath += '\\';
        }
        subkeyPath += name;
        WriteKey(out, subkeyPath, subkey);
    }
}

}  // namespace

std::string ApplyMachineDescription(std::istream& description, Machine& machine)
{
    for (std::string line; std::getline(description, line);) {
        if (!ApplyLine(line, machine)) {
            return line;
        }
    }
    return {};
}

void WriteMachineDescription(std::ostream& out, const Machine& machine)
{
    const std::string& windows = machine.windowsDirectory;
    out << "windows-directory " << windows << '\n';
    for (const auto& [name, service] : machine.services) {
        out << "service " << name << (service.running ? " running" : "") << (service.acceptsStop ? "" : " refuses-stop")
            << (service.handlesHeldElsewhere > 0 ? " held-open" : "") << (service.markedForDeletion ? " marked" : "")
            << '\n';
    }
    // Only what lies below the Windows directory can be described relative to it.
    const auto below = [&windows](const std::string& path) {
        return path.size() > windows.size() && path.compare(0, windows.size(), windows) == 0 &&
               path[windows.size()] == '\\';
    };
    for (const auto& path : machine.directories) {
        if (below(path)) {
            out << "directory " << path.substr(windows.size()) << '\n';
        }
    }
    for (const auto& [path, file] : machine.files) {
        if (below(path)) {
            out << "file " << path.substr(windows.size())
                << ((file.attributes & FILE_ATTRIBUTE_READONLY) ? " readonly" : "")
                << ((file.attributes & FILE_ATTRIBUTE_HIDDEN) ? " hidden" : "")
                << ((file.attributes & FILE_ATTRIBUTE_SYSTEM) ? " system" : "");
            if (file.deleteRefusal != 0) {
                out << " refuse=" << file.deleteRefusal;
            }
            out << '\n';
        }
    }
    for (const auto& path : machine.pendingDeletions) {
        out << "pending-delete " << path << '\n';
    }
    WriteKey(out, "", machine.localMachine);
}

}  // namespace standin
