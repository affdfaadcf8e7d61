// Deletes the registry symbolic links in one key's tree as links, leaving their targets alone.
//
// Every key is opened with REG_OPTION_OPEN_LINK, so that a link opens as itself, and a link is
// deleted through that handle with NtDeleteKey, the one call that deletes a key as itself.

#include "registry_links.h"

#include "platform.h"

namespace {

// What the walk needs of each key: its link value, its subkeys, and the right to delete it.
constexpr REGSAM WalkAccess = KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | DELETE;
// The registry nests keys at most 512 levels deep, so no key lies deeper below ours.
constexpr int DeepestLevel = 512;
// A key name has at most 255 characters.
constexpr DWORD KeyNameCapacity = 256;

// Owns one open registry key and closes it with RegCloseKey.
class UniqueRegistryKey {
public:
    UniqueRegistryKey() = default;
    ~UniqueRegistryKey() { Reset(); }
    UniqueRegistryKey(const UniqueRegistryKey&) = delete;
    UniqueRegistryKey& operator=(const UniqueRegistryKey&) = delete;
    UniqueRegistryKey(UniqueRegistryKey&&) = delete;
    UniqueRegistryKey& operator=(UniqueRegistryKey&&) = delete;

    [[nodiscard]] HKEY Get() const { return key_; }
    void Reset()
    {
        if (key_ != nullptr) {
            Platform::RegCloseKey(key_);
            key_ = nullptr;
        }
    }
    // Closes the key held, if any, and gives the place where an open call stores the next one.
    PHKEY Receive()
    {
        Reset();
        return &key_;
    }

private:
    HKEY key_ = nullptr;
};

// A link holds its target's path in this value, of type REG_LINK; an ordinary key has no such value.
LSTATUS IsLink(HKEY key, bool* isLink)
{
    DWORD type = REG_NONE;
    const LSTATUS status = Platform::RegQueryValueExW(key, L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr);
    *isLink = status == ERROR_SUCCESS && type == REG_LINK;
    if (status == ERROR_FILE_NOT_FOUND) {
        return ERROR_SUCCESS;
    }
    return status;
}

// Deletes the link that `link` was opened as; its target is left alone.
LSTATUS DeleteLink(HKEY link)
{
    const LONG status = Platform::NtDeleteKey(link);
    if (status == 0) {
        return ERROR_SUCCESS;
    }
    return static_cast<LSTATUS>(Platform::RtlNtStatusToDosError(status));
}

LSTATUS CountSubkeys(HKEY key, DWORD* count)
{
    return Platform::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, count, nullptr, nullptr, nullptr, nullptr,
                                      nullptr, nullptr, nullptr);
}

// Opens the subkey at `index` as itself, a link included. Names are taken in UTF-16 so that every
// name opens again exactly, whatever the code page.
LSTATUS OpenSubkeyAt(HKEY parent, DWORD index, UniqueRegistryKey& subkey)
{
    WCHAR name[KeyNameCapacity];
    DWORD nameLength = KeyNameCapacity;
    const LSTATUS status =
        Platform::RegEnumKeyExW(parent, index, name, &nameLength, nullptr, nullptr, nullptr, nullptr);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    return Platform::RegOpenKeyExW(parent, name, REG_OPTION_OPEN_LINK, WalkAccess, subkey.Receive());
}

// Deletes, as a link, every link in the tree below `top`, and changes nothing else.
//
// Depth first and without recursion, so that no tree can exhaust the stack: per level one open key
// and the number of its subkeys still to visit, in fixed arrays. Subkeys are visited from the last
// to the first, so that deleting one never moves those still to visit and every key is visited at
// most once. A link is never entered: it is deleted where it is found.
LSTATUS RemoveLinksBelow(HKEY top)
{
    // levels[n] is open on a key n + 1 levels below top; unvisited[n] counts down the subkeys of
    // the key n levels below top. The array closes its keys from the deepest up.
    UniqueRegistryKey levels[DeepestLevel];
    DWORD unvisited[DeepestLevel + 1] = {};
    int depth = 0;
    HKEY current = top;

    LSTATUS status = CountSubkeys(top, &unvisited[0]);
    while (status == ERROR_SUCCESS) {
        if (unvisited[depth] == 0) {
            if (depth == 0) {
                return ERROR_SUCCESS;
            }
            levels[--depth].Reset();
            current = depth == 0 ? top : levels[depth - 1].Get();
            continue;
        }
        if (depth == DeepestLevel) {
            return ERROR_BADKEY;  // deeper than the registry allows: not a tree to trust
        }
        // Any failure ends the walk, even one that may only mean that a subkey went away
        // meanwhile: a subkey left unvisited could be a link, which a deletion would follow.
        UniqueRegistryKey& subkey = levels[depth];
        status = OpenSubkeyAt(current, --unvisited[depth], subkey);
        bool isLink = false;
        if (status == ERROR_SUCCESS) {
            status = IsLink(subkey.Get(), &isLink);
        }
        if (status == ERROR_SUCCESS && isLink) {
            status = DeleteLink(subkey.Get());
            subkey.Reset();
        } else if (status == ERROR_SUCCESS) {
            status = CountSubkeys(subkey.Get(), &unvisited[depth + 1]);
            current = subkey.Get();
            ++depth;
        }
    }
    return status;
}

}  // namespace

LinkRemoval RemoveRegistryLinks(HKEY rootKey, const char* subKeyPath)
{
    UniqueRegistryKey key;
    const LSTATUS opened =
        Platform::RegOpenKeyExA(rootKey, subKeyPath, REG_OPTION_OPEN_LINK, WalkAccess, key.Receive());
    if (opened != ERROR_SUCCESS) {
        return {false, false, opened};
    }
    bool keyIsLink = false;
    LSTATUS status = IsLink(key.Get(), &keyIsLink);
    if (status == ERROR_SUCCESS) {
        status = keyIsLink ? DeleteLink(key.Get()) : RemoveLinksBelow(key.Get());
    }
    return {true, keyIsLink && status == ERROR_SUCCESS, status};
}
