// A filter driver is loaded for every device of a class whose key lists its service name in the
// multi-string value UpperFilters or LowerFilters. Windows cannot start such a device once the
// service named there is gone (and cannot boot when the class is that of its disks), so the
// service's name leaves those lists before the service is deleted.
#pragma once

#include <windows.h>

// Removes every entry equal to serviceName, without regard to case, from the UpperFilters and
// LowerFilters values of every class key directly below
// HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class, keeping every other entry's
// characters and order and deleting a value left with no entry; a value without the name is not
// written. Returns ERROR_SUCCESS when no list names the service any more (there are none when the
// Class key is missing), else the first error number met: a class key or value that could not be
// opened, read or written, or a value that is no well-formed multi-string (ERROR_INVALID_DATA).
// A failure in one class does not stop the others.
DWORD RemoveFromClassFilters(const char* serviceName);
