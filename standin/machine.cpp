#include "machine.h"

#include <strings.h>

namespace standin {

std::vector<std::string> KeyNames(const std::string& path)
{
    std::vector<std::string> names;
    std::string::size_type start = 0;
    while (start <= path.size()) {
        const std::string::size_type end = path.find('\\', start);
        const std::string::size_type stop = end == std::string::npos ? path.size() : end;
        names.push_back(path.substr(start, stop - start));
        start = stop + 1;
    }
    return names;
}

std::string ParentPath(const std::string& path)
{
    const std::string::size_type slash = path.rfind('\\');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool CaseInsensitiveLess::operator()(const std::string& left, const std::string& right) const
{
    return strcasecmp(left.c_str(), right.c_str()) < 0;
}

std::string ServiceKeyPath(const std::string& serviceName)
{
    return "SYSTEM\\CurrentControlSet\\Services\\" + serviceName;
}

void Machine::AddService(const std::string& name, const Service& service)
{
    services[name] = service;
    Key& key = AddKey(ServiceKeyPath(name));
    key.values["Type"] = "1";
    key.values["Start"] = "3";
    key.values["ImagePath"] = "\\SystemRoot\\system32\\" + name + ".sys";
}

std::string Machine::FullPath(const std::string& relativePath) const
{
    return windowsDirectory + relativePath;
}

void Machine::AddDirectory(const std::string& relativePath)
{
    for (std::string path = FullPath(relativePath); path.find('\\') != std::string::npos; path = ParentPath(path)) {
        directories.insert(path);
    }
}

void Machine::AddFile(const std::string& relativePath, DWORD attributes)
{
    AddDirectory(ParentPath(relativePath));
    files[FullPath(relativePath)].attributes = attributes;
}

bool Machine::DirectoryExists(const std::string& fullPath) const
{
    return fullPath.find('\\') == std::string::npos || directories.count(fullPath) != 0;
}

bool Machine::HasService(const std::string& name) const
{
    return services.count(name) != 0;
}

bool Machine::HasFile(const std::string& relativePath) const
{
    return files.count(FullPath(relativePath)) != 0;
}

Key& Machine::AddKey(const std::string& path)
{
    Key* key = &localMachine;
    for (const std::string& name : KeyNames(path)) {
        key = &key->subkeys[name];
    }
    return *key;
}

Key& Machine::AddLink(const std::string& path, const std::string& target)
{
    Key& link = AddKey(path);
    link.isLink = true;
    link.linkTarget = target;
    return link;
}

Key* Machine::FindKey(const std::string& path)
{
    Key* key = &localMachine;
    for (const std::string& name : KeyNames(path)) {
        const auto found = key->subkeys.find(name);
        if (found == key->subkeys.end()) {
            return nullptr;
        }
        key = &found->second;
    }
    return key;
}

const Key* Machine::FindKey(const std::string& path) const
{
    return const_cast<Machine*>(this)->FindKey(path);  // NOLINT(cppcoreguidelines-pro-type-const-cast)
}

void Machine::RemoveServiceIfGone(const std::string& name)
{
    const auto found = services.find(name);
    if (found == services.end()) {
        return;
    }
    const Service& service = found->second;
    if (!service.markedForDeletion || service.running || service.handlesHeldElsewhere > 0) {
        return;
    }
    for (const auto& [value, handle] : openHandles) {
        if (!handle.isManager && strcasecmp(handle.serviceName.c_str(), name.c_str()) == 0) {
            return;
        }
    }
    const std::string keyPath = ServiceKeyPath(found->first);
    services.erase(found);
    DeleteKeyTree(*this, HKEY_LOCAL_MACHINE, keyPath);
}

namespace {

LSTATUS DeleteSubtree(Machine& machine, Key& key)
{
    if (key.deleteRefusal != 0) {
        return key.deleteRefusal;
    }
    if (key.isLink) {
        ++machine.linksFollowed;
        return static_cast<LSTATUS>(ERROR_CALL_NOT_IMPLEMENTED);
    }
    for (auto subkey = key.subkeys.begin(); subkey != key.subkeys.end(); subkey = key.subkeys.erase(subkey)) {
        const LSTATUS status = DeleteSubtree(machine, subkey->second);
        if (status != 0) {
            return status;
        }
    }
    return 0;
}

}  // namespace

LSTATUS DeleteKeyTree(Machine& machine, HKEY rootKey, const std::string& subKeyPath)
{
    // SHDeleteKeyA reports through its result only; the last error says nothing of it.
    machine.lastError = ERROR_SUCCESS;
    if (rootKey != HKEY_LOCAL_MACHINE) {
        return static_cast<LSTATUS>(ERROR_INVALID_HANDLE);
    }
    if (subKeyPath.empty()) {
        return static_cast<LSTATUS>(ERROR_ACCESS_DENIED);  // a predefined key cannot be deleted
    }
    const std::string parentPath = ParentPath(subKeyPath);
    Key* parent = parentPath.empty() ? &machine.localMachine : machine.FindKey(parentPath);
    if (parent == nullptr) {
        return static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND);
    }
    const auto found = parent->subkeys.find(subKeyPath.substr(parentPath.empty() ? 0 : parentPath.size() + 1));
    if (found == parent->subkeys.end()) {
        return static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND);
    }
    const LSTATUS status = DeleteSubtree(machine, found->second);
    if (status == 0) {
        parent->subkeys.erase(found);
    }
    return status;
}

Machine InstalledMachine(const std::string& windowsDirectory)
{
    Machine machine;
    machine.windowsDirectory = windowsDirectory;
    machine.AddService("velkor", Service{});
    Key& key = machine.AddKey(ServiceKeyPath("velkor"));
    key.values["ErrorControl"] = "1";
    Key& enumKey = key.subkeys["Enum"];
    enumKey.values["Count"] = "1";
    enumKey.values["0"] = "Root\\LEGACY_VELKOR\\0000";
    machine.AddFile("\\system32\\velkor.sys", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);

    // Look-alikes that a removal must leave alone.
    machine.AddService("velkor2", Service{});
    machine.AddKey(ServiceKeyPath("velkorx")).values["Start"] = "4";
    machine.AddFile("\\system32\\drivers\\velkor.sys", FILE_ATTRIBUTE_NORMAL);
    machine.AddFile("\\system32\\velkor.sys.bak", FILE_ATTRIBUTE_NORMAL);
    return machine;
}

}  // namespace standin
