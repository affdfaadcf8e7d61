// The platform operations that the tool uses, declared once under their Windows names.
//
// The Windows build binds them to the real calls (platform_win32.cpp); the host build links a
// simulated machine in their place. Nothing else in the tool calls the platform directly.
#pragma once

#include <windows.h>

namespace Platform {

// Console, through the C runtime's standard output and standard input streams.
void PrintText(const char* format, ...) __attribute__((format(printf, 1, 2)));
// fgets on standard input: false when end of input or an error came before the first character,
// in which case nothing at all was stored.
bool ReadLine(char* buffer, int readSize);

// kernel32
UINT GetWindowsDirectoryA(LPSTR buffer, UINT size);
BOOL SetFileAttributesA(LPCSTR path, DWORD attributes);
BOOL DeleteFileA(LPCSTR path);
DWORD GetLastError();
// A 32-bit process on 64-bit Windows sees SysWOW64 where it names system32 until it turns this
// redirection off. Both fail where Windows has no redirection or lacks the functions (XP before
// SP2, Windows 2000): the Windows binding looks them up at run time so the tool still loads there.
BOOL Wow64DisableWow64FsRedirection(PVOID* oldValue);
BOOL Wow64RevertWow64FsRedirection(PVOID oldValue);

// advapi32
SC_HANDLE OpenSCManagerA(LPCSTR machineName, LPCSTR databaseName, DWORD desiredAccess);
SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD desiredAccess);
BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status);
BOOL DeleteService(SC_HANDLE service);
BOOL CloseServiceHandle(SC_HANDLE handle);

// shlwapi
LSTATUS SHDeleteKeyA(HKEY rootKey, LPCSTR subKeyPath);

}  // namespace Platform
