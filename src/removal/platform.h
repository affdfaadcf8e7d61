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

// advapi32
SC_HANDLE OpenSCManagerA(LPCSTR machineName, LPCSTR databaseName, DWORD desiredAccess);
SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD desiredAccess);
BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status);
BOOL DeleteService(SC_HANDLE service);
BOOL CloseServiceHandle(SC_HANDLE handle);

// shlwapi
LSTATUS SHDeleteKeyA(HKEY rootKey, LPCSTR subKeyPath);

}  // namespace Platform
