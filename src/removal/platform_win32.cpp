// The platform operations bound to the real Windows calls.
//
// Output and input go through msvcrt's own vprintf and fgets: this file includes no C++ library
// header, and the build sets __USE_MINGW_ANSI_STDIO=0, so MinGW's replacement formatter is not
// linked and msvcrt's text-mode and buffering rules apply unchanged.

#include <stdarg.h>
#include <stdio.h>

#include "platform.h"

#include <shlwapi.h>

void Platform::PrintText(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    vprintf(format, arguments);
    va_end(arguments);
}

bool Platform::ReadLine(char* buffer, int readSize)
{
    return fgets(buffer, readSize, stdin) != nullptr;
}

UINT Platform::GetWindowsDirectoryA(LPSTR buffer, UINT size)
{
    return ::GetWindowsDirectoryA(buffer, size);
}

BOOL Platform::SetFileAttributesA(LPCSTR path, DWORD attributes)
{
    return ::SetFileAttributesA(path, attributes);
}

BOOL Platform::DeleteFileA(LPCSTR path)
{
    return ::DeleteFileA(path);
}

DWORD Platform::GetFileAttributesA(LPCSTR path)
{
    return ::GetFileAttributesA(path);
}

BOOL Platform::MoveFileExA(LPCSTR existingPath, LPCSTR newPath, DWORD flags)
{
    return ::MoveFileExA(existingPath, newPath, flags);
}

DWORD Platform::GetLastError()
{
    return ::GetLastError();
}

namespace {

// A function of a system DLL that every process has loaded (kernel32, ntdll), looked up at run
// time; null where this Windows lacks it.
template <typename Function> Function FindInSystemDll(const char* dllName, const char* name)
{
    const FARPROC found = ::GetProcAddress(::GetModuleHandleA(dllName), name);
    // Through void(*)() because GCC warns of a direct cast between unrelated function types.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
}

using DisableRedirection = BOOL(WINAPI*)(PVOID*);
using RevertRedirection = BOOL(WINAPI*)(PVOID);

}  // namespace

BOOL Platform::Wow64DisableWow64FsRedirection(PVOID* oldValue)
{
    const auto disable = FindInSystemDll<DisableRedirection>("kernel32.dll", "Wow64DisableWow64FsRedirection");
    if (disable == nullptr) {
        ::SetLastError(ERROR_PROC_NOT_FOUND);
        return FALSE;
    }
    return disable(oldValue);
}

BOOL Platform::Wow64RevertWow64FsRedirection(PVOID oldValue)
{
    const auto revert = FindInSystemDll<RevertRedirection>("kernel32.dll", "Wow64RevertWow64FsRedirection");
    if (revert == nullptr) {
        ::SetLastError(ERROR_PROC_NOT_FOUND);
        return FALSE;
    }
    return revert(oldValue);
}

SC_HANDLE Platform::OpenSCManagerA(LPCSTR machineName, LPCSTR databaseName, DWORD desiredAccess)
{
    return ::OpenSCManagerA(machineName, databaseName, desiredAccess);
}

SC_HANDLE Platform::OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD desiredAccess)
{
    return ::OpenServiceA(manager, serviceName, desiredAccess);
}

BOOL Platform::ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status)
{
    return ::ControlService(service, control, status);
}

BOOL Platform::DeleteService(SC_HANDLE service)
{
    return ::DeleteService(service);
}

BOOL Platform::CloseServiceHandle(SC_HANDLE handle)
{
    return ::CloseServiceHandle(handle);
}

LSTATUS Platform::RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result)
{
    return ::RegOpenKeyExA(key, subKey, options, access, result);
}

LSTATUS Platform::RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result)
{
    return ::RegOpenKeyExW(key, subKey, options, access, result);
}

LSTATUS Platform::RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD reserved,
                                LPWSTR className, LPDWORD classLength, PFILETIME lastWriteTime)
{
    return ::RegEnumKeyExW(key, index, name, nameLength, reserved, className, classLength, lastWriteTime);
}

LSTATUS Platform::RegQueryInfoKeyW(HKEY key, LPWSTR className, LPDWORD classLength, LPDWORD reserved, LPDWORD subKeys,
                                   LPDWORD maxSubKeyLength, LPDWORD maxClassLength, LPDWORD values,
                                   LPDWORD maxValueNameLength, LPDWORD maxValueLength, LPDWORD securityDescriptorLength,
                                   PFILETIME lastWriteTime)
{
    return ::RegQueryInfoKeyW(key, className, classLength, reserved, subKeys, maxSubKeyLength, maxClassLength, values,
                              maxValueNameLength, maxValueLength, securityDescriptorLength, lastWriteTime);
}

LSTATUS Platform::RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                   LPDWORD dataLength)
{
    return ::RegQueryValueExW(key, valueName, reserved, type, data, dataLength);
}

LSTATUS Platform::RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                                 DWORD dataLength)
{
    return ::RegSetValueExW(key, valueName, reserved, type, data, dataLength);
}

LSTATUS Platform::RegDeleteValueW(HKEY key, LPCWSTR valueName)
{
    return ::RegDeleteValueW(key, valueName);
}

LSTATUS Platform::RegCloseKey(HKEY key)
{
    return ::RegCloseKey(key);
}

namespace {

using DeleteKeyFunction = LONG(NTAPI*)(HANDLE);
using QueryKeyFunction = LONG(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
using StatusToErrorFunction = ULONG(NTAPI*)(LONG);
constexpr LONG StatusProcedureNotFound = static_cast<LONG>(0xC000007AUL);

}  // namespace

LONG Platform::NtDeleteKey(HKEY key)
{
    const auto deleteKey = FindInSystemDll<DeleteKeyFunction>("ntdll.dll", "NtDeleteKey");
    return deleteKey == nullptr ? StatusProcedureNotFound : deleteKey(key);
}

LONG Platform::NtQueryKey(HKEY key, ULONG informationClass, PVOID information, ULONG length, PULONG resultLength)
{
    const auto queryKey = FindInSystemDll<QueryKeyFunction>("ntdll.dll", "NtQueryKey");
    return queryKey == nullptr ? StatusProcedureNotFound
                               : queryKey(key, informationClass, information, length, resultLength);
}

ULONG Platform::RtlNtStatusToDosError(LONG status)
{
    const auto toError = FindInSystemDll<StatusToErrorFunction>("ntdll.dll", "RtlNtStatusToDosError");
    if (toError == nullptr) {
        return status == StatusProcedureNotFound ? ERROR_PROC_NOT_FOUND : ERROR_MR_MID_NOT_FOUND;
    }
    return toError(status);
}

LSTATUS Platform::SHDeleteKeyA(HKEY rootKey, LPCSTR subKeyPath)
{
    // MinGW declares the result as DWORD, the Windows SDK as LSTATUS; the number is the same.
    return static_cast<LSTATUS>(::SHDeleteKeyA(rootKey, subKeyPath));
}
