// The three removal routines. Each removes one object, prints exactly one outcome line and
// returns normally whatever happened; nothing it finds changes what the caller does next.
#pragma once

#include <windows.h>

// The Windows directory, as GetWindowsDirectoryA returned it: written once by the main flow
// before any removal step, read by RemoveWindowsFile as the prefix of the file's path.
extern char WindowsDirectory[MAX_PATH];

// Stops the service and asks the service manager to delete it.
void RemoveService(const char* serviceName);

// Deletes WindowsDirectory + relativePath; relativePath brings its own leading backslash.
void RemoveWindowsFile(const char* relativePath);

// Deletes subKeyPath below rootKey with all its subkeys and values.
void RemoveRegistryKey(HKEY rootKey, const char* subKeyPath);
