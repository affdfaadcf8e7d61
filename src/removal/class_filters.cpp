// Removes a service's name from the filter lists of the device classes.
//
// Each list is read and written in UTF-16, so that every other entry keeps its characters exactly,
// whatever the code page. Each class key is opened to read its values only, and opened again to
// write them only when a list names the service.

#include "class_filters.h"

#include <stddef.h>

#include "platform.h"
#include "unique_registry_key.h"

namespace {

constexpr char ClassesKeyPath[] = "SYSTEM\\CurrentControlSet\\Control\\Class";
constexpr LPCWSTR FilterValueNames[] = {L"UpperFilters", L"LowerFilters"};
// A key name has at most 255 characters.
constexpr DWORD KeyNameCapacity = 256;
// A service name has at most 256 characters.
constexpr size_t ServiceNameCapacity = 257;
// Filter lists hold a few names; a longer value is refused by the read, which is then a failure.
constexpr DWORD ListCapacity = 4096;

struct FilterList {
    WCHAR text[ListCapacity];
    DWORD length;  // in characters, terminating zeros included
};

bool SameNameIgnoringCase(const WCHAR* entry, const WCHAR* name)
{
    const auto folded = [](WCHAR c) { return c >= L'A' && c <= L'Z' ? static_cast<WCHAR>(c - L'A' + L'a') : c; };
    for (; *entry != L'\0' && folded(*entry) == folded(*name); ++entry, ++name) {
    }
    return *entry == L'\0' && *name == L'\0';
}

// A list as Windows writes it: each entry closed by a zero, then one more zero. An empty list may
// also be no data at all, or one or two zeros. Anything else cannot be read as Windows reads it,
// and is never rewritten.
bool IsWellFormed(const FilterList& list)
{
    const DWORD length = list.length;
    if (length == 0 || list.text[0] == L'\0') {
        return length <= 2 && (length < 2 || list.text[1] == L'\0');
    }
    DWORD position = 0;
    while (position < length && list.text[position] != L'\0') {
        while (position < length && list.text[position] != L'\0') {
            ++position;
        }
        ++position;  // past the entry's zero
    }
    return position == length - 1 && list.text[position] == L'\0';
}

// Reads one filter value. *present is false, and the result ERROR_SUCCESS, when there is none.
LSTATUS ReadFilterList(HKEY classKey, LPCWSTR valueName, FilterList& list, bool* present)
{
    DWORD type = REG_NONE;
    DWORD bytes = sizeof list.text;
    const LSTATUS status =
        Platform::RegQueryValueExW(classKey, valueName, nullptr, &type, reinterpret_cast<LPBYTE>(list.text), &bytes);
    *present = status == ERROR_SUCCESS;
    if (status == ERROR_FILE_NOT_FOUND) {
        return ERROR_SUCCESS;
    }
    if (status != ERROR_SUCCESS) {
        return status;
    }
    list.length = bytes / static_cast<DWORD>(sizeof(WCHAR));
    if (type != REG_MULTI_SZ || bytes % static_cast<DWORD>(sizeof(WCHAR)) != 0 || !IsWellFormed(list)) {
        return static_cast<LSTATUS>(ERROR_INVALID_DATA);
    }
    return ERROR_SUCCESS;
}

// Drops the entries equal to `name` from a well-formed list, in place. Returns how many it dropped.
int DropEntries(FilterList& list, const WCHAR* name)
{
    int dropped = 0;
    DWORD kept = 0;
    for (DWORD position = 0; position < list.length && list.text[position] != L'\0';) {
        DWORD end = position;
        while (list.text[end] != L'\0') {
            ++end;
        }
        if (SameNameIgnoringCase(&list.text[position], name)) {
            ++dropped;
        } else {
            for (DWORD character = position; character <= end; ++character) {
                list.text[kept++] = list.text[character];
            }
        }
        position = end + 1;
    }
    list.text[kept] = L'\0';
    list.length = kept + 1;
    return dropped;
}

// Writes a list back, or deletes the value when no entry is left, through a handle opened for
// writing values the first time one is needed.
LSTATUS WriteFilterList(HKEY classes, LPCWSTR className, UniqueRegistryKey& writable, LPCWSTR valueName,
                        const FilterList& list)
{
    if (!writable.IsOpen()) {
        const LSTATUS opened = Platform::RegOpenKeyExW(classes, className, 0, KEY_SET_VALUE, writable.Receive());
        if (opened != ERROR_SUCCESS) {
            return opened;
        }
    }
    if (list.length == 1) {
        return Platform::RegDeleteValueW(writable.Get(), valueName);
    }
    return Platform::RegSetValueExW(writable.Get(), valueName, 0, REG_MULTI_SZ,
                                    reinterpret_cast<const BYTE*>(list.text),
                                    static_cast<DWORD>(list.length * sizeof(WCHAR)));
}

// Both filter values of one class. A failure with one value does not keep the other unread.
LSTATUS RemoveFromClass(HKEY classes, LPCWSTR className, const WCHAR* name)
{
    UniqueRegistryKey readable;
    LSTATUS firstError = Platform::RegOpenKeyExW(classes, className, 0, KEY_QUERY_VALUE, readable.Receive());
    if (firstError != ERROR_SUCCESS) {
        return firstError;
    }
    UniqueRegistryKey writable;
    for (const LPCWSTR valueName : FilterValueNames) {
        FilterList list;
        bool present = false;
        LSTATUS status = ReadFilterList(readable.Get(), valueName, list, &present);
        if (status == ERROR_SUCCESS && present && DropEntries(list, name) > 0) {
            status = WriteFilterList(classes, className, writable, valueName, list);
        }
        if (firstError == ERROR_SUCCESS) {
            firstError = status;
        }
    }
    return firstError;
}

// The service name in UTF-16. Service names are ASCII in practice; any other name is refused rather
// than compared under a guessed code page.
bool WidenServiceName(const char* serviceName, WCHAR (&name)[ServiceNameCapacity])
{
    size_t length = 0;
    for (; serviceName[length] != '\0'; ++length) {
        const auto character = static_cast<unsigned char>(serviceName[length]);
        if (length + 1 == ServiceNameCapacity || character >= 0x80) {
            return false;
        }
        name[length] = static_cast<WCHAR>(character);
    }
    name[length] = L'\0';
    return length > 0;
}

}  // namespace

DWORD RemoveFromClassFilters(const char* serviceName)
{
    WCHAR name[ServiceNameCapacity];
    if (!WidenServiceName(serviceName, name)) {
        return ERROR_INVALID_NAME;
    }
    UniqueRegistryKey classes;
    const LSTATUS opened =
        Platform::RegOpenKeyExA(HKEY_LOCAL_MACHINE, ClassesKeyPath, 0, KEY_ENUMERATE_SUB_KEYS, classes.Receive());
    if (opened == ERROR_FILE_NOT_FOUND) {
        return ERROR_SUCCESS;
    }
    if (opened != ERROR_SUCCESS) {
        return static_cast<DWORD>(opened);
    }

    LSTATUS firstError = ERROR_SUCCESS;
    for (DWORD index = 0;; ++index) {
        WCHAR className[KeyNameCapacity];
        DWORD classNameLength = KeyNameCapacity;
        const LSTATUS listed = Platform::RegEnumKeyExW(classes.Get(), index, className, &classNameLength, nullptr,
                                                       nullptr, nullptr, nullptr);
        if (listed == ERROR_NO_MORE_ITEMS) {
            break;
        }
        const LSTATUS status = listed == ERROR_SUCCESS ? RemoveFromClass(classes.Get(), className, name) : listed;
        if (firstError == ERROR_SUCCESS) {
            firstError = status;
        }
        if (listed != ERROR_SUCCESS) {
            break;  // the classes after it cannot be told
        }
    }
    return static_cast<DWORD>(firstError);
}
