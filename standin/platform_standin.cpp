// The platform operations of the host build, acting on the simulated machine.
//
// Every operation overwrites the last error, successful or not, as many Windows calls may: a
// tool that reads GetLastError after any other call then prints the wrong number.

#include <strings.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "console.h"
#include "machine.h"
#include "platform.h"

namespace {

using standin::Machine;
using standin::Operation;
using standin::TheMachine;

// Records the call and reports whether it was made to fail; if so the last error is set.
bool Fails(Machine& machine, Operation operation, const std::string& call)
{
    machine.calls.push_back(call);
    const auto failure = machine.failures.find(operation);
    if (failure == machine.failures.end()) {
        return false;
    }
    machine.lastError = failure->second;
    return true;
}

BOOL Succeed(Machine& machine)
{
    machine.lastError = ERROR_SUCCESS;
    return TRUE;
}

BOOL Fail(Machine& machine, DWORD error)
{
    machine.lastError = error;
    return FALSE;
}

// A file operation on a path that is neither a file nor a directory.
BOOL FailMissing(Machine& machine, const std::string& path)
{
    return Fail(machine,
                machine.DirectoryExists(standin::ParentPath(path)) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
}

// The path the file system acts on, after WOW64 redirection.
std::string SeenPath(const Machine& machine, const std::string& path)
{
    if (!machine.is64BitWindows || machine.redirectionOff) {
        return path;
    }
    const std::string system32 = machine.windowsDirectory + "\\system32";
    const bool inSystem32 = strncasecmp(path.c_str(), system32.c_str(), system32.size()) == 0 &&
                            (path.size() == system32.size() || path[system32.size()] == '\\');
    return inSystem32 ? machine.windowsDirectory + "\\SysWOW64" + path.substr(system32.size()) : path;
}

SC_HANDLE NewHandle(Machine& machine, bool isManager, const std::string& serviceName)
{
    const std::uintptr_t value = machine.nextHandle;
    machine.nextHandle += 4;
    machine.openHandles[value] = Machine::OpenHandle{isManager, serviceName};
    machine.lastError = ERROR_SUCCESS;
    return reinterpret_cast<SC_HANDLE>(value);  // NOLINT(performance-no-int-to-ptr)
}

Machine::OpenHandle* FindHandle(Machine& machine, SC_HANDLE handle)
{
    const auto found = machine.openHandles.find(reinterpret_cast<std::uintptr_t>(handle));
    return found == machine.openHandles.end() ? nullptr : &found->second;
}

// The service behind an open service handle, or null with the last error set.
standin::Service* ServiceOf(Machine& machine, SC_HANDLE handle)
{
    const Machine::OpenHandle* open = FindHandle(machine, handle);
    if (open == nullptr || open->isManager) {
        machine.lastError = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    return &machine.services.at(open->serviceName);
}

}  // namespace

void Platform::PrintText(const char* format, ...)
{
    // The tool's texts are short; a longer one is formatted again into a buffer that fits.
    std::vector<char> text(256);
    va_list arguments;
    va_start(arguments, format);
    // clang-tidy 14 reports the va_list as uninitialized here, though va_start is right above.
    int length = std::vsnprintf(  // NOLINT(clang-analyzer-valist.Uninitialized)
        text.data(), text.size(), format, arguments);
    va_end(arguments);
    if (length >= 0 && static_cast<std::size_t>(length) >= text.size()) {
        text.resize(static_cast<std::size_t>(length) + 1);
        va_start(arguments, format);
        length = std::vsnprintf(text.data(), text.size(), format, arguments);
        va_end(arguments);
    }
    standin::ConsoleWrite(std::string(text.data(), static_cast<std::size_t>(length < 0 ? 0 : length)));
    TheMachine().lastError = ERROR_SUCCESS;
}

bool Platform::ReadLine(char* buffer, int readSize)
{
    const bool stored = standin::ConsoleReadLine(buffer, readSize);
    TheMachine().lastError = ERROR_SUCCESS;
    return stored;
}

DWORD Platform::GetLastError()
{
    return TheMachine().lastError;
}

UINT Platform::GetWindowsDirectoryA(LPSTR buffer, UINT size)
{
    Machine& machine = TheMachine();
    if (Fails(machine, Operation::GetWindowsDirectoryA, "GetWindowsDirectoryA")) {
        return 0;
    }
    const std::string& directory = machine.windowsDirectory;
    machine.lastError = ERROR_SUCCESS;
    // Too small a buffer is left unwritten; the result is then the size needed.
    if (directory.size() + 1 > size) {
        return static_cast<UINT>(directory.size() + 1);
    }
    std::memcpy(buffer, directory.c_str(), directory.size() + 1);
    return static_cast<UINT>(directory.size());
}

BOOL Platform::SetFileAttributesA(LPCSTR path, DWORD attributes)
{
    Machine& machine = TheMachine();
    if (Fails(machine, Operation::SetFileAttributesA, std::string("SetFileAttributesA ") + path)) {
        return FALSE;
    }
    const std::string seen = SeenPath(machine, path);
    const auto file = machine.files.find(seen);
    if (file != machine.files.end()) {
        file->second.attributes = attributes | (file->second.attributes & FILE_ATTRIBUTE_REPARSE_POINT);
        return Succeed(machine);
    }
    if (machine.directories.count(seen) != 0) {
        return Succeed(machine);
    }
    return FailMissing(machine, seen);
}

DWORD Platform::GetFileAttributesA(LPCSTR path)
{
    Machine& machine = TheMachine();
    if (Fails(machine, Operation::GetFileAttributesA, std::string("GetFileAttributesA ") + path)) {
        return INVALID_FILE_ATTRIBUTES;
    }
    const std::string seen = SeenPath(machine, path);
    const auto file = machine.files.find(seen);
    if (file != machine.files.end()) {
        machine.lastError = ERROR_SUCCESS;
        return file->second.attributes;
    }
    if (machine.directories.count(seen) != 0) {
        machine.lastError = ERROR_SUCCESS;
        return FILE_ATTRIBUTE_DIRECTORY;
    }
    FailMissing(machine, seen);
    return INVALID_FILE_ATTRIBUTES;
}

BOOL Platform::MoveFileExA(LPCSTR existingPath, LPCSTR newPath, DWORD flags)
{
    Machine& machine = TheMachine();
    if (Fails(machine, Operation::MoveFileExA, std::string("MoveFileExA ") + existingPath)) {
        return FALSE;
    }
    // Only a deletion at the next boot is simulated. The path is recorded as given, not as WOW64
    // redirection would see it, as Windows does.
    if (newPath != nullptr || flags != MOVEFILE_DELAY_UNTIL_REBOOT) {
        return Fail(machine, ERROR_INVALID_PARAMETER);
    }
    machine.pendingDeletions.emplace_back(existingPath);
    return Succeed(machine);
}

BOOL Platform::DeleteFileA(LPCSTR path)
{
    Machine& machine = TheMachine();
    if (Fails(machine, Operation::DeleteFileA, std::string("DeleteFileA ") + path)) {
        return FALSE;
    }
    const std::string seen = SeenPath(machine, path);
    const auto file = machine.files.find(seen);
    if (file != machine.files.end()) {
        if ((file->second.attributes & FILE_ATTRIBUTE_READONLY) != 0) {
            return Fail(machine, ERROR_ACCESS_DENIED);
        }
        if (file->second.deleteRefusal != 0) {
            return Fail(machine, file->second.deleteRefusal);
        }
        machine.files.erase(file);
        return Succeed(machine);
    }
    if (machine.directories.count(seen) != 0) {
        return Fail(machine, ERROR_ACCESS_DENIED);
    }
    return FailMissing(machine, seen);
}

BOOL Platform::Wow64DisableWow64FsRedirection(PVOID* oldValue)
{
    Machine& machine = TheMachine();
    if (Fails(machine, Operation::Wow64DisableWow64FsRedirection, "Wow64DisableWow64FsRedirection")) {
        return FALSE;
    }
    if (!machine.hasRedirectionFunctions) {
        return Fail(machine, ERROR_PROC_NOT_FOUND);
    }
    if (!machine.is64BitWindows) {
        return Fail(machine, ERROR_INVALID_FUNCTION);  // as 32-bit Windows answers
    }
    *oldValue = &machine.redirectionOff;
    machine.redirectionOff = true;
    return Succeed(machine);
}

BOOL Platform::Wow64RevertWow64FsRedirection(PVOID oldValue)
{
    Machine& machine = TheMachine();
    if (Fails(machine, Operation::Wow64RevertWow64FsRedirection, "Wow64RevertWow64FsRedirection")) {
        return FALSE;
    }
    if (!machine.hasRedirectionFunctions || oldValue != &machine.redirectionOff) {
        return Fail(machine, ERROR_INVALID_PARAMETER);
    }
    machine.redirectionOff = false;
    return Succeed(machine);
}

SC_HANDLE Platform::OpenSCManagerA(LPCSTR machineName, LPCSTR databaseName, DWORD desiredAccess)
{
    Machine& machine = TheMachine();
    if (Fails(machine, Operation::OpenSCManagerA, "OpenSCManagerA")) {
        return nullptr;
    }
    // Only the local machine's active database exists here.
    if (machineName != nullptr || databaseName != nullptr || desiredAccess != SC_MANAGER_ALL_ACCESS) {
        machine.lastError = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    return NewHandle(machine, true, std::string());
}

SC_HANDLE Platform::OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD desiredAccess)
{
    Machine& machine = TheMachine();
    if (Fails(machine, Operation::OpenServiceA, std::string("OpenServiceA ") + serviceName)) {
        return nullptr;
    }
    const Machine::OpenHandle* open = FindHandle(machine, manager);
    if (open == nullptr || !open->isManager) {
        machine.lastError = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    // The routine asks for exactly what it needs; anything else is a fault to surface.
    if (desiredAccess != (DELETE | SERVICE_STOP)) {
        machine.lastError = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    const auto service = machine.services.find(serviceName);
    if (service == machine.services.end()) {
        machine.lastError = ERROR_SERVICE_DOES_NOT_EXIST;
        return nullptr;
    }
    return NewHandle(machine, false, service->first);
}

BOOL Platform::ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status)
{
    Machine& machine = TheMachine();
    if (Fails(machine, Operation::ControlService, "ControlService")) {
        return FALSE;
    }
    standin::Service* target = ServiceOf(machine, service);
    if (target == nullptr) {
        return FALSE;
    }
    if (control != SERVICE_CONTROL_STOP || status == nullptr) {
        return Fail(machine, ERROR_INVALID_PARAMETER);
    }
    *status = SERVICE_STATUS{};
    if (!target->running) {
        status->dwCurrentState = SERVICE_STOPPED;
        return Fail(machine, ERROR_SERVICE_NOT_ACTIVE);
    }
    if (!target->acceptsStop) {
        status->dwCurrentState = SERVICE_RUNNING;
        return Fail(machine, ERROR_INVALID_SERVICE_CONTROL);
    }
    target->running = false;
    status->dwCurrentState = SERVICE_STOPPED;
    return Succeed(machine);
}

BOOL Platform::DeleteService(SC_HANDLE service)
{
    Machine& machine = TheMachine();
    if (Fails(machine, Operation::DeleteService, "DeleteService")) {
        return FALSE;
    }
    standin::Service* target = ServiceOf(machine, service);
    if (target == nullptr) {
        return FALSE;
    }
    if (target->markedForDeletion) {
        return Fail(machine, ERROR_SERVICE_MARKED_FOR_DELETE);
    }
    target->markedForDeletion = true;
    return Succeed(machine);
}

BOOL Platform::CloseServiceHandle(SC_HANDLE handle)
{
    Machine& machine = TheMachine();
    const auto found = machine.openHandles.find(reinterpret_cast<std::uintptr_t>(handle));
    if (found == machine.openHandles.end()) {
        machine.calls.emplace_back("CloseServiceHandle invalid");
        ++machine.invalidCloses;
        return Fail(machine, ERROR_INVALID_HANDLE);
    }
    const Machine::OpenHandle closed = found->second;
    machine.calls.push_back(closed.isManager ? "CloseServiceHandle manager"
                                             : "CloseServiceHandle " + closed.serviceName);
    machine.openHandles.erase(found);
    if (!closed.isManager) {
        machine.RemoveServiceIfGone(closed.serviceName);
    }
    return Succeed(machine);
}

LSTATUS Platform::SHDeleteKeyA(HKEY rootKey, LPCSTR subKeyPath)
{
    Machine& machine = TheMachine();
    if (Fails(machine, Operation::SHDeleteKeyA, std::string("SHDeleteKeyA ") + subKeyPath)) {
        return static_cast<LSTATUS>(machine.lastError);
    }
    return standin::DeleteKeyTree(machine, rootKey, subKeyPath);
}

namespace {

constexpr LONG StatusBufferOverflow = static_cast<LONG>(0x80000005U);
constexpr LONG StatusAccessDenied = static_cast<LONG>(0xC0000022U);
constexpr LONG StatusProcedureNotFound = static_cast<LONG>(0xC000007AU);
constexpr LONG StatusInvalidParameter = static_cast<LONG>(0xC000000DU);
constexpr LONG StatusCannotDelete = static_cast<LONG>(0xC0000121U);
constexpr LONG StatusKeyDeleted = static_cast<LONG>(0xC000017CU);
constexpr ULONG KeyNameInformation = 3;
// Windows ends a chain of links that never reaches a key, a loop, with STATUS_NAME_TOO_LONG.
constexpr int MostLinksFollowed = 32;
constexpr REGSAM KnownAccess = KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_ENUMERATE_SUB_KEYS | DELETE;

LSTATUS Status(Machine& machine, DWORD error)
{
    machine.lastError = error;
    return static_cast<LSTATUS>(error);
}

// The key names of the tool's tests are ASCII, so each character converts on its own.
std::string Narrow(LPCWSTR text)
{
    std::string narrow;
    for (; *text != L'\0'; ++text) {
        narrow += static_cast<char>(*text);
    }
    return narrow;
}

// The path of the key that `path` names, in its stored letter case, as opening finds it: every
// link on the way is followed, and the last name too unless the key is opened as itself.
LSTATUS ResolveKeyPath(const Machine& machine, const std::string& path, bool openAsItself, std::string* resolved)
{
    std::vector<std::string> names = standin::KeyNames(path);
    int linksFollowed = 0;
    std::size_t index = 0;
    const standin::Key* key = &machine.localMachine;
    resolved->clear();
    while (index < names.size()) {
        const auto found = key->subkeys.find(names[index]);
        if (found == key->subkeys.end()) {
            return static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND);
        }
        const bool last = index + 1 == names.size();
        if (found->second.isLink && !(last && openAsItself)) {
            if (found->second.linkTarget.empty()) {
                return static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND);
            }
            if (++linksFollowed > MostLinksFollowed) {
                return static_cast<LSTATUS>(ERROR_FILENAME_EXCED_RANGE);
            }
            std::vector<std::string> rest(names.begin() + static_cast<std::ptrdiff_t>(index) + 1, names.end());
            names = standin::KeyNames(found->second.linkTarget);
            names.insert(names.end(), rest.begin(), rest.end());
            index = 0;
            key = &machine.localMachine;
            resolved->clear();
            continue;
        }
        *resolved += (resolved->empty() ? "" : "\\") + found->first;
        key = &found->second;
        ++index;
    }
    return ERROR_SUCCESS;
}

const Machine::OpenKey* OpenKeyOf(Machine& machine, HKEY key)
{
    static const Machine::OpenKey root{"", KnownAccess};
    if (key == HKEY_LOCAL_MACHINE) {
        return &root;
    }
    const auto found = machine.openKeys.find(reinterpret_cast<std::uintptr_t>(key));
    return found == machine.openKeys.end() ? nullptr : &found->second;
}

// The path below HKEY_LOCAL_MACHINE that a registry handle is open on, or null.
const std::string* KeyPathOf(Machine& machine, HKEY key)
{
    const Machine::OpenKey* open = OpenKeyOf(machine, key);
    return open == nullptr ? nullptr : &open->path;
}

// The key a handle is open on, if the handle was opened with `needed`: null with *status set when
// the handle is unknown, lacks that access, or its key is gone.
standin::Key* KeyOf(Machine& machine, HKEY handle, REGSAM needed, LSTATUS* status)
{
    const Machine::OpenKey* open = OpenKeyOf(machine, handle);
    if (open == nullptr) {
        *status = Status(machine, ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if ((open->access & needed) != needed) {
        *status = Status(machine, ERROR_ACCESS_DENIED);
        return nullptr;
    }
    standin::Key* key = open->path.empty() ? &machine.localMachine : machine.FindKey(open->path);
    *status = Status(machine, key == nullptr ? ERROR_KEY_DELETED : ERROR_SUCCESS);
    return key;
}

LSTATUS OpenKey(HKEY parent, const std::string& subKey, DWORD options, REGSAM access, PHKEY result)
{
    Machine& machine = TheMachine();
    *result = nullptr;
    if (Fails(machine, Operation::RegOpenKeyEx, "RegOpenKeyEx " + subKey)) {
        return static_cast<LSTATUS>(machine.lastError);
    }
    const std::string* base = KeyPathOf(machine, parent);
    if (base == nullptr) {
        return Status(machine, ERROR_INVALID_HANDLE);
    }
    if ((options != 0 && options != REG_OPTION_OPEN_LINK) || access == 0 || (access & ~KnownAccess) != 0) {
        return Status(machine, ERROR_INVALID_PARAMETER);
    }
    std::string path;
    const LSTATUS resolved =
        ResolveKeyPath(machine, base->empty() ? subKey : *base + "\\" + subKey, options == REG_OPTION_OPEN_LINK, &path);
    if (resolved != ERROR_SUCCESS) {
        return Status(machine, static_cast<DWORD>(resolved));
    }
    const standin::Key* key = machine.FindKey(path);
    if (key->deleteRefusal != 0) {
        return Status(machine, static_cast<DWORD>(key->deleteRefusal));
    }
    const std::uintptr_t value = machine.nextHandle;
    machine.nextHandle += 4;
    machine.openKeys[value] = Machine::OpenKey{path, access};
    machine.keysOpened.push_back(machine.openKeys[value]);
    *result = reinterpret_cast<HKEY>(value);  // NOLINT(performance-no-int-to-ptr)
    return Status(machine, ERROR_SUCCESS);
}

// Copies `size` bytes of a value's data out as RegQueryValueExW does: with no buffer only the size
// is told; too small a buffer gets ERROR_MORE_DATA.
LSTATUS CopyValueData(Machine& machine, const void* source, DWORD size, LPBYTE data, LPDWORD dataLength)
{
    if (dataLength == nullptr) {
        return Status(machine, data == nullptr ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER);
    }
    const DWORD capacity = *dataLength;
    *dataLength = size;
    if (data == nullptr) {
        return Status(machine, ERROR_SUCCESS);
    }
    if (size > capacity) {
        return Status(machine, ERROR_MORE_DATA);
    }
    std::memcpy(data, source, size);
    return Status(machine, ERROR_SUCCESS);
}

}  // namespace

LSTATUS Platform::RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result)
{
    return OpenKey(key, subKey, options, access, result);
}

LSTATUS Platform::RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result)
{
    return OpenKey(key, Narrow(subKey), options, access, result);
}

// The Windows signatures, whose out-parameters the stand-in fills only as far as the tool asks.
// NOLINTBEGIN(readability-non-const-parameter)
LSTATUS Platform::RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD reserved,
                                LPWSTR className, LPDWORD classLength, PFILETIME lastWriteTime)
{
    Machine& machine = TheMachine();
    if (Fails(machine, Operation::RegEnumKeyExW, "RegEnumKeyExW " + std::to_string(index))) {
        return static_cast<LSTATUS>(machine.lastError);
    }
    if (reserved != nullptr || className != nullptr || classLength != nullptr || lastWriteTime != nullptr) {
        return Status(machine, ERROR_INVALID_PARAMETER);
    }
    LSTATUS status = ERROR_SUCCESS;
    const standin::Key* found = KeyOf(machine, key, KEY_ENUMERATE_SUB_KEYS, &status);
    if (found == nullptr) {
        return status;
    }
    if (index >= found->subkeys.size()) {
        return Status(machine, ERROR_NO_MORE_ITEMS);
    }
    const std::string& subkeyName = std::next(found->subkeys.begin(), index)->first;
    if (subkeyName.size() + 1 > *nameLength) {
        return Status(machine, ERROR_MORE_DATA);
    }
    std::copy(subkeyName.begin(), subkeyName.end(), name);
    name[subkeyName.size()] = L'\0';
    *nameLength = static_cast<DWORD>(subkeyName.size());
    return Status(machine, ERROR_SUCCESS);
}

LSTATUS Platform::RegQueryInfoKeyW(HKEY key, LPWSTR className, LPDWORD classLength, LPDWORD reserved, LPDWORD subKeys,
                                   LPDWORD maxSubKeyLength, LPDWORD maxClassLength, LPDWORD values,
                                   LPDWORD maxValueNameLength, LPDWORD maxValueLength, LPDWORD securityDescriptorLength,
                                   PFILETIME lastWriteTime)
{
    Machine& machine = TheMachine();
    if (Fails(machine, Operation::RegQueryInfoKeyW, "RegQueryInfoKeyW")) {
        return static_cast<LSTATUS>(machine.lastError);
    }
    // Only the number of subkeys is simulated.
    if (className != nullptr || classLength != nullptr || reserved != nullptr || subKeys == nullptr ||
        maxSubKeyLength != nullptr || maxClassLength != nullptr || values != nullptr || maxValueNameLength != nullptr ||
        maxValueLength != nullptr || securityDescriptorLength != nullptr || lastWriteTime != nullptr) {
        return Status(machine, ERROR_INVALID_PARAMETER);
    }
    LSTATUS status = ERROR_SUCCESS;
    const standin::Key* found = KeyOf(machine, key, KEY_QUERY_VALUE, &status);
    if (found != nullptr) {
        *subKeys = static_cast<DWORD>(found->subkeys.size());
    }
    return status;
}

LSTATUS Platform::RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                   LPDWORD dataLength)
{
    Machine& machine = TheMachine();
    const std::string name = Narrow(valueName);
    if (Fails(machine, Operation::RegQueryValueExW, "RegQueryValueExW " + name)) {
        return static_cast<LSTATUS>(machine.lastError);
    }
    if (reserved != nullptr || type == nullptr) {
        return Status(machine, ERROR_INVALID_PARAMETER);
    }
    LSTATUS status = ERROR_SUCCESS;
    const standin::Key* found = KeyOf(machine, key, KEY_QUERY_VALUE, &status);
    if (found == nullptr) {
        return status;
    }
    const auto multiString = found->multiStrings.find(name);
    if (multiString != found->multiStrings.end()) {
        *type = REG_MULTI_SZ;
        const std::wstring& characters = multiString->second;
        return CopyValueData(machine, characters.data(), static_cast<DWORD>(characters.size() * sizeof(WCHAR)), data,
                             dataLength);
    }
    const auto text = found->values.find(name);
    if (text == found->values.end()) {
        return Status(machine, ERROR_FILE_NOT_FOUND);
    }
    *type = REG_SZ;
    const std::wstring characters(text->second.begin(), text->second.end());
    return CopyValueData(machine, characters.c_str(), static_cast<DWORD>((characters.size() + 1) * sizeof(WCHAR)), data,
                         dataLength);
}

// NOLINTEND(readability-non-const-parameter)

LSTATUS Platform::RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                                 DWORD dataLength)
{
    Machine& machine = TheMachine();
    const std::string name = Narrow(valueName);
    if (Fails(machine, Operation::RegSetValueExW, "RegSetValueExW " + name)) {
        return static_cast<LSTATUS>(machine.lastError);
    }
    // The tool writes filter lists only.
    if (reserved != 0 || type != REG_MULTI_SZ || data == nullptr || dataLength % sizeof(WCHAR) != 0) {
        return Status(machine, ERROR_INVALID_PARAMETER);
    }
    LSTATUS status = ERROR_SUCCESS;
    standin::Key* found = KeyOf(machine, key, KEY_SET_VALUE, &status);
    if (found == nullptr) {
        return status;
    }
    std::wstring characters(dataLength / sizeof(WCHAR), L'\0');
    std::memcpy(characters.data(), data, dataLength);
    found->values.erase(name);
    found->multiStrings[name] = characters;
    return status;
}

LSTATUS Platform::RegDeleteValueW(HKEY key, LPCWSTR valueName)
{
    Machine& machine = TheMachine();
    const std::string name = Narrow(valueName);
    if (Fails(machine, Operation::RegDeleteValueW, "RegDeleteValueW " + name)) {
        return static_cast<LSTATUS>(machine.lastError);
    }
    LSTATUS status = ERROR_SUCCESS;
    standin::Key* found = KeyOf(machine, key, KEY_SET_VALUE, &status);
    if (found == nullptr) {
        return status;
    }
    const bool erased = found->multiStrings.erase(name) + found->values.erase(name) != 0;
    return Status(machine, erased ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
}

LSTATUS Platform::RegCloseKey(HKEY key)
{
    Machine& machine = TheMachine();
    const auto found = machine.openKeys.find(reinterpret_cast<std::uintptr_t>(key));
    if (found == machine.openKeys.end()) {
        machine.calls.emplace_back("RegCloseKey invalid");
        ++machine.invalidCloses;
        return Status(machine, ERROR_INVALID_HANDLE);
    }
    machine.calls.push_back("RegCloseKey " + found->second.path);
    machine.openKeys.erase(found);
    return Status(machine, ERROR_SUCCESS);
}

LONG Platform::NtDeleteKey(HKEY key)
{
    Machine& machine = TheMachine();
    const Machine::OpenKey* open = OpenKeyOf(machine, key);
    if (Fails(machine, Operation::NtDeleteKey,
              "NtDeleteKey " + (open == nullptr ? std::string("invalid") : open->path))) {
        return static_cast<LONG>(machine.lastError);
    }
    // Only keys opened here can be deleted, not the predefined root.
    if (open == nullptr || open->path.empty() || (open->access & DELETE) == 0) {
        return StatusAccessDenied;
    }
    const std::string& path = open->path;
    const std::string parentPath = standin::ParentPath(path);
    standin::Key* parent = parentPath.empty() ? &machine.localMachine : machine.FindKey(parentPath);
    const standin::Key* found = machine.FindKey(path);
    if (parent == nullptr || found == nullptr) {
        return StatusKeyDeleted;
    }
    if (!found->subkeys.empty()) {
        return StatusCannotDelete;
    }
    parent->subkeys.erase(path.substr(path.rfind('\\') + 1));
    return 0;
}

LONG Platform::NtQueryKey(HKEY key, ULONG informationClass, PVOID information, ULONG length, PULONG resultLength)
{
    Machine& machine = TheMachine();
    const std::string* path = KeyPathOf(machine, key);
    if (Fails(machine, Operation::NtQueryKey, "NtQueryKey " + (path == nullptr ? std::string("invalid") : *path))) {
        return static_cast<LONG>(machine.lastError);
    }
    if (path == nullptr || informationClass != KeyNameInformation || information == nullptr ||
        resultLength == nullptr) {
        return StatusInvalidParameter;
    }
    // KEY_NAME_INFORMATION: the name's length in bytes, then the name, not terminated.
    const std::string fullName = "\\REGISTRY\\MACHINE" + (path->empty() ? std::string() : "\\" + *path);
    const std::wstring name(fullName.begin(), fullName.end());
    const auto nameBytes = static_cast<ULONG>(name.size() * sizeof(WCHAR));
    *resultLength = static_cast<ULONG>(sizeof(ULONG)) + nameBytes;
    if (length < *resultLength) {
        return StatusBufferOverflow;
    }
    std::memcpy(information, &nameBytes, sizeof nameBytes);
    std::memcpy(static_cast<char*>(information) + sizeof(ULONG), name.data(), nameBytes);
    return 0;
}

ULONG Platform::RtlNtStatusToDosError(LONG status)
{
    switch (status) {
    case 0:
        return ERROR_SUCCESS;
    case StatusAccessDenied:
    case StatusCannotDelete:
        return ERROR_ACCESS_DENIED;
    case StatusProcedureNotFound:
        return ERROR_PROC_NOT_FOUND;
    case StatusKeyDeleted:
        return ERROR_KEY_DELETED;
    case StatusInvalidParameter:
        return ERROR_INVALID_PARAMETER;
    case StatusBufferOverflow:
        return ERROR_MORE_DATA;
    default:
        return ERROR_MR_MID_NOT_FOUND;
    }
}
