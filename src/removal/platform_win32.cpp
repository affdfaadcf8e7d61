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

DWORD Platform::GetLastError()
{
    return ::GetLastError();
}

namespace {

// The kernel32 function of that name, or null where this Windows lacks it.
template <typename Function> Function FindInKernel32(const char* name)
{
    const FARPROC found = ::GetProcAddress(::GetModuleHandleA("kernel32.dll"), name);
    // Through void(*)() because GCC warns of a direct cast between unrelated function types.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
}

using DisableRedirection = BOOL(WINAPI*)(PVOID*);
using RevertRedirection = BOOL(WINAPI*)(PVOID);

}  // namespace

BOOL Platform::Wow64DisableWow64FsRedirection(PVOID* oldValue)
{
    const auto disable = FindInKernel32<DisableRedirection>("Wow64DisableWow64FsRedirection");
    if (disable == nullptr) {
        ::SetLastError(ERROR_PROC_NOT_FOUND);
        return FALSE;
    }
    return disable(oldValue);
}

BOOL Platform::Wow64RevertWow64FsRedirection(PVOID oldValue)
{
    const auto revert = FindInKernel32<RevertRedirection>("Wow64RevertWow64FsRedirection");
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

LSTATUS Platform::SHDeleteKeyA(HKEY rootKey, LPCSTR subKeyPath)
{
    // MinGW declares the result as DWORD, the Windows SDK as LSTATUS; the number is the same.
    return static_cast<LSTATUS>(::SHDeleteKeyA(rootKey, subKeyPath));
}
