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
DWORD GetFileAttributesA(LPCSTR path);
// With MOVEFILE_DELAY_UNTIL_REBOOT and no new name: records the path, as given, for the session
// manager to delete early in the next boot.
BOOL MoveFileExA(LPCSTR existingPath, LPCSTR newPath, DWORD flags);
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

// advapi32: the registry. A key opened with REG_OPTION_OPEN_LINK is the key itself even when it is a
// symbolic link; opened without it, a link opens its target.
LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result);
LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result);
LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD reserved, LPWSTR className,
                      LPDWORD classLength, PFILETIME lastWriteTime);
LSTATUS RegQueryInfoKeyW(HKEY key, LPWSTR className, LPDWORD classLength, LPDWORD reserved, LPDWORD subKeys,
                         LPDWORD maxSubKeyLength, LPDWORD maxClassLength, LPDWORD values, LPDWORD maxValueNameLength,
                         LPDWORD maxValueLength, LPDWORD securityDescriptorLength, PFILETIME lastWriteTime);
LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataLength);
LSTATUS RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data, DWORD dataLength);
LSTATUS RegDeleteValueW(HKEY key, LPCWSTR valueName);
LSTATUS RegCloseKey(HKEY key);

// ntdll. NtDeleteKey is the one call that deletes a key through a handle, so the only way to
// delete a link as a link; NtQueryKey with KeyNameInformation gives the full name of the key that
// a handle is open on (\REGISTRY\MACHINE\...), which for a link opened the ordinary way is its
// target's. Results are NTSTATUS values. The Windows binding looks them up at run time, so the
// tool imports nothing from ntdll; a call that ntdll lacks gives STATUS_PROCEDURE_NOT_FOUND.
LONG NtDeleteKey(HKEY key);
LONG NtQueryKey(HKEY key, ULONG informationClass, PVOID information, ULONG length, PULONG resultLength);
ULONG RtlNtStatusToDosError(LONG status);

// shlwapi
LSTATUS SHDeleteKeyA(HKEY rootKey, LPCSTR subKeyPath);

}  // namespace Platform
