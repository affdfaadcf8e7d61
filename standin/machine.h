// A small simulated Windows machine for the host build: services with state and open handles,
// files and directories with attributes, a registry tree, a Windows directory of any length,
// and chosen failures. The platform operations of the host build act on TheMachine().
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <windows.h>

namespace standin {

// Windows compares service names, paths and key names without regard to case.
struct CaseInsensitiveLess {
    bool operator()(const std::string& left, const std::string& right) const;
};

enum class Operation {
    GetWindowsDirectoryA,
    SetFileAttributesA,
    DeleteFileA,
    OpenSCManagerA,
    OpenServiceA,
    ControlService,
    DeleteService,
    SHDeleteKeyA,
    Wow64DisableWow64FsRedirection,
    Wow64RevertWow64FsRedirection,
    RegOpenKeyEx,  // both the A and the W form
    RegEnumKeyExW,
    RegQueryInfoKeyW,
    RegQueryValueExW,
    NtDeleteKey,  // the failure's number is the NTSTATUS returned
    GetFileAttributesA,
    MoveFileExA,
    NtQueryKey,  // the failure's number is the NTSTATUS returned
    RegSetValueExW,
    RegDeleteValueW,
};

struct Service {
    bool running = false;
    bool acceptsStop = true;
    bool markedForDeletion = false;
    // Handles that other processes hold; the service outlives its deletion while any is open.
    int handlesHeldElsewhere = 0;
};

struct File {
    // FILE_ATTRIBUTE_REPARSE_POINT: a link or junction, which no attribute change clears.
    DWORD attributes = FILE_ATTRIBUTE_NORMAL;
    // Nonzero: DeleteFileA fails with this number (32 for a file another process has open).
    DWORD deleteRefusal = 0;
};

struct Key {
    // String values (REG_SZ), kept as text.
    std::map<std::string, std::string, CaseInsensitiveLess> values;
    // REG_MULTI_SZ values, character for character, terminating zeros included, malformed or not.
    std::map<std::string, std::wstring, CaseInsensitiveLess> multiStrings;
    std::map<std::string, Key, CaseInsensitiveLess> subkeys;
    // Nonzero: opening or deleting this key fails with this number (5 for a key whose ACL denies
    // everything).
    LSTATUS deleteRefusal = 0;
    // A symbolic link: a kind of key, with no subkeys of its own, that an ordinary open follows to
    // the key of linkTarget's path below HKEY_LOCAL_MACHINE; with no target it opens nothing. Only
    // opening follows links here: a SHDeleteKeyA that meets one, which Windows would follow, is
    // counted in Machine::linksFollowed and fails.
    bool isLink = false;
    std::string linkTarget;
};

struct Machine {
    std::string windowsDirectory = "C:\\WINDOWS";
    std::map<std::string, Service, CaseInsensitiveLess> services;
    std::map<std::string, File, CaseInsensitiveLess> files;  // by full path
    std::set<std::string, CaseInsensitiveLess> directories;  // by full path
    // Full paths that MoveFileExA recorded for deletion at the next boot, as it was given them.
    std::vector<std::string> pendingDeletions;
    Key localMachine;  // HKEY_LOCAL_MACHINE
    // 64-bit Windows running the 32-bit tool: "system32" below the Windows directory means
    // SysWOW64 while the file-system redirection is on. Windows before XP SP2 lacks the
    // functions that turn it off.
    bool is64BitWindows = false;
    bool hasRedirectionFunctions = true;
    bool redirectionOff = false;

    // Operations made to fail, each with its error number, before touching any state.
    std::map<Operation, DWORD> failures;

    // What happened, for tests to check the order of calls and the handles left open.
    std::vector<std::string> calls;
    DWORD lastError = ERROR_SUCCESS;
    struct OpenHandle {
        bool isManager = false;
        std::string serviceName;
    };
    std::map<std::uintptr_t, OpenHandle> openHandles;
    struct OpenKey {
        std::string path;  // the key's own path, in its stored letter case, links resolved
        REGSAM access = 0;
    };
    std::map<std::uintptr_t, OpenKey> openKeys;  // registry handles
    std::vector<OpenKey> keysOpened;             // every registry open that succeeded, in order
    std::uintptr_t nextHandle = 0x1000;
    int invalidCloses = 0;
    int linksFollowed = 0;

    // Set-up helpers. Paths of files are relative to the Windows directory, with a leading
    // backslash; parent directories are created as needed.
    void AddService(const std::string& name, const Service& service);
    void AddFile(const std::string& relativePath, DWORD attributes);
    void AddDirectory(const std::string& relativePath);
    Key& AddKey(const std::string& path);
    Key& AddLink(const std::string& path, const std::string& target);

    [[nodiscard]] std::string FullPath(const std::string& relativePath) const;
    // A drive ("C:") always exists; other directories only once added.
    [[nodiscard]] bool DirectoryExists(const std::string& fullPath) const;
    [[nodiscard]] bool HasService(const std::string& name) const;
    [[nodiscard]] bool HasFile(const std::string& relativePath) const;
    [[nodiscard]] const Key* FindKey(const std::string& path) const;
    [[nodiscard]] Key* FindKey(const std::string& path);
    [[nodiscard]] bool HasKey(const std::string& path) const { return FindKey(path) != nullptr; }

    // Removes a service that is marked, stopped and no longer open anywhere, with its key,
    // as the service manager does: like SHDeleteKeyA, following links (see DeleteKeyTree).
    void RemoveServiceIfGone(const std::string& name);
};

// The machine the host build's platform operations act on.
Machine& TheMachine();

// A machine on which velkor is installed: a stopped service, a read-only hidden system driver
// file in system32 and the service's key with values and a subkey, plus look-alikes that a
// removal must leave alone.
Machine InstalledMachine(const std::string& windowsDirectory = "C:\\WINDOWS");

// SHDeleteKeyA on the machine's registry: the key and everything below it, depth first. A key
// that refuses deletion, or a link, stops the walk, leaving what was not yet deleted.
LSTATUS DeleteKeyTree(Machine& machine, HKEY rootKey, const std::string& subKeyPath);

// The names of a key path, one per backslash-separated part; an empty part names no key.
std::vector<std::string> KeyNames(const std::string& path);

// Everything before the last backslash of a path or key path; empty when there is none.
std::string ParentPath(const std::string& path);

// The path of a service's key below HKEY_LOCAL_MACHINE.
std::string ServiceKeyPath(const std::string& serviceName);

}  // namespace standin
