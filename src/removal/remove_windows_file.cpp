// Deletes one file named relative to the Windows directory.

#include <string.h>

#include "platform.h"
#include "removal.h"

char WindowsDirectory[MAX_PATH];

namespace {

void PrintFileOutcome(DWORD error)
{
    switch (error) {
    case ERROR_SUCCESS:
        Platform::PrintText("Done.\n");
        return;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        Platform::PrintText("File Not Found.\n");
        return;
    case ERROR_ACCESS_DENIED:
        Platform::PrintText("Access Denied.\n");
        return;
    default:
        Platform::PrintText("Error %d.\n", static_cast<int>(error));
        return;
    }
}

// Returns the error number of the call that failed, or ERROR_SUCCESS. The attributes are made
// normal first because DeleteFileA refuses a read-only file; if that fails, nothing is deleted.
DWORD DeleteWithNormalAttributes(const char* path)
{
    if (!Platform::SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL)) {
        return Platform::GetLastError();
    }
    if (!Platform::DeleteFileA(path)) {
        return Platform::GetLastError();
    }
    return ERROR_SUCCESS;
}

}  // namespace

void RemoveWindowsFile(const char* relativePath)
{
    const size_t directoryLength = strlen(WindowsDirectory);
    const size_t relativeLength = strlen(relativePath);

    // A path cut short to fit the buffer could name another file, so a path that does not fit
    // is reported whole and nothing is deleted.
    if (directoryLength + relativeLength >= MAX_PATH) {
        Platform::PrintText("  Delete %s%s: ", WindowsDirectory, relativePath);
        PrintFileOutcome(ERROR_FILENAME_EXCED_RANGE);
        return;
    }

    char fullPath[MAX_PATH];
    memcpy(fullPath, WindowsDirectory, directoryLength + 1);
    memcpy(fullPath + directoryLength, relativePath, relativeLength + 1);

    Platform::PrintText("  Delete %s: ", fullPath);
    PrintFileOutcome(DeleteWithNormalAttributes(fullPath));
}
