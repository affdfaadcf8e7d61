// Deletes the registry symbolic links in one key's tree as links, leaving their targets alone.
//
// Every key is opened as itself (REG_OPTION_OPEN_LINK), so that a link opens as the link, and
// also the ordinary way, so that a link opens its target. A link is a kind of key, whatever values
// it holds or lacks: the two opens then give different keys, or the ordinary one fails (a link
// without a target, or a loop). An ordinary key gives the same key twice, whatever values it
// holds. A link is deleted through its own handle with NtDeleteKey, the one call that deletes a
// key as itself.

#include "registry_links.h"

#include <string.h>

#include "platform.h"
#include "unique_registry_key.h"

namespace {

// What the walk needs of each key: its name and subkeys, and the right to delete it. Both opens
// of a key ask for the same, so that only a link can make them differ.
constexpr REGSAM WalkAccess = KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | DELETE;
// The registry nests keys at most 512 levels deep, so no key lies deeper below ours.
constexpr int DeepestLevel = 512;
// A key name has at most 255 characters.
constexpr DWORD KeyNameCapacity = 256;
// NtQueryKey's KeyNameInformation: the name's length in bytes, then the name, not terminated. A
// full name longer than a path can be when it is opened is refused by the query, and ends the walk.
constexpr ULONG KeyNameInformation = 3;
constexpr ULONG FullNameCapacity = 32767;
struct KeyFullName {
    ULONG length;
    WCHAR name[FullNameCapacity];
};

LSTATUS ErrorFromStatus(LONG status)
{
    return status == 0 ? static_cast<LSTATUS>(ERROR_SUCCESS)
                       : static_cast<LSTATUS>(Platform::RtlNtStatusToDosError(status));
}

LSTATUS QueryFullName(HKEY key, KeyFullName& fullName)
{
    ULONG written = 0;
    return ErrorFromStatus(Platform::NtQueryKey(key, KeyNameInformation, &fullName, sizeof fullName, &written));
}

// Whether the two handles are open on different keys.
LSTATUS OpenOnDifferentKeys(HKEY first, HKEY second, bool* different)
{
    KeyFullName firstName;
    KeyFullName secondName;
    LSTATUS status = QueryFullName(first, firstName);
    if (status == ERROR_SUCCESS) {
        status = QueryFullName(second, secondName);
    }
    if (status == ERROR_SUCCESS) {
        *different =
            firstName.length != secondName.length || memcmp(firstName.name, secondName.name, firstName.length) != 0;
    }
    return status;
}

LSTATUS OpenKey(HKEY parent, LPCSTR path, DWORD options, UniqueRegistryKey& key)
{
    return Platform::RegOpenKeyExA(parent, path, options, WalkAccess, key.Receive());
}

// Names are taken in UTF-16 so that every name opens again exactly, whatever the code page.
LSTATUS OpenKey(HKEY parent, LPCWSTR name, DWORD options, UniqueRegistryKey& key)
{
    return Platform::RegOpenKeyExW(parent, name, options, WalkAccess, key.Receive());
}

// Whether `key`, opened as itself from `name` below `parent`, is a link.
template <typename Name> LSTATUS IsLink(HKEY parent, Name name, HKEY key, bool* isLink)
{
    UniqueRegistryKey ordinary;
    if (OpenKey(parent, name, 0, ordinary) != ERROR_SUCCESS) {
        // Whatever the number: the key itself opened, so only a link can fail to open its target.
        *isLink = true;
        return ERROR_SUCCESS;
    }
    return OpenOnDifferentKeys(key, ordinary.Get(), isLink);
}

// Deletes the link that `link` was opened as; its target is left alone.
LSTATUS DeleteLink(HKEY link)
{
    return ErrorFromStatus(Platform::NtDeleteKey(link));
}

LSTATUS CountSubkeys(HKEY key, DWORD* count)
{
    return Platform::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, count, nullptr, nullptr, nullptr, nullptr,
                                      nullptr, nullptr, nullptr);
}

// Opens the subkey at `index` as itself, a link included, and tells whether it is a link.
LSTATUS OpenSubkeyAt(HKEY parent, DWORD index, UniqueRegistryKey& subkey, bool* isLink)
{
    WCHAR name[KeyNameCapacity];
    DWORD nameLength = KeyNameCapacity;
    const LSTATUS status =
        Platform::RegEnumKeyExW(parent, index, name, &nameLength, nullptr, nullptr, nullptr, nullptr);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    const LSTATUS opened = OpenKey(parent, name, REG_OPTION_OPEN_LINK, subkey);
    return opened == ERROR_SUCCESS ? IsLink(parent, name, subkey.Get(), isLink) : opened;
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
        bool isLink = false;
        status = OpenSubkeyAt(current, --unvisited[depth], subkey, &isLink);
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
    bool keyIsLink = false;
    LSTATUS status = OpenKey(rootKey, subKeyPath, REG_OPTION_OPEN_LINK, key);
    if (status != ERROR_SUCCESS) {
        return {false, false, status};
    }
    status = IsLink(rootKey, subKeyPath, key.Get(), &keyIsLink);
    if (status == ERROR_SUCCESS) {
        status = keyIsLink ? DeleteLink(key.Get()) : RemoveLinksBelow(key.Get());
    }
    return {true, keyIsLink && status == ERROR_SUCCESS, status};
}
