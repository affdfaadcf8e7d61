// Deletes one file named relative to the Windows directory.

#include <string.h>

#include "platform.h"
#include "removal.h"

char WindowsDirectory[MAX_PATH];

namespace {

// Turns the file-system redirection of a 32-bit process on 64-bit Windows off for its lifetime,
// so that system32 means the real system32 and not SysWOW64. Where there is no redirection the
// request fails and nothing is to be turned back on.
class FileSystemRedirectionOff {
public:
    FileSystemRedirectionOff() : turnedOff_(Platform::Wow64DisableWow64FsRedirection(&oldValue_) != FALSE) {}
    ~FileSystemRedirectionOff()
    {
        if (turnedOff_) {
            Platform::Wow64RevertWow64FsRedirection(oldValue_);
        }
    }
    FileSystemRedirectionOff(const FileSystemRedirectionOff&) = delete;
    FileSystemRedirectionOff& operator=(const FileSystemRedirectionOff&) = delete;
    FileSystemRedirectionOff(FileSystemRedirectionOff&&) = delete;
    FileSystemRedirectionOff& operator=(FileSystemRedirectionOff&&) = delete;

private:
    PVOID oldValue_ = nullptr;
    bool turnedOff_;
};

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

// A file in use (a loaded driver's image, a file another program holds open) cannot be deleted
// now, but the session manager deletes it early in the next boot, before anything opens it. Only
// a plain file is scheduled: a directory would be deleted at the restart once empty, and a reparse
// point could lead the deletion elsewhere. Whether the scheduling succeeds changes nothing for the
// outcome line, which already says that the file is still there.
void DeleteAtNextRestart(const char* path)
{
    const DWORD attributes = Platform::GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        return;
    }
    Platform::MoveFileExA(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

// Returns the error number of the call that failed, or ERROR_SUCCESS. The attributes are made
// normal first because DeleteFileA refuses a read-only file; if that fails, nothing is deleted,
// now or at the restart. The error number is read before the redirection is turned back on, and
// the scheduling happens with it off, so that it names the real system32's file.
DWORD DeleteWithNormalAttributes(const char* path)
{
    const FileSystemRedirectionOff redirectionOff;
    if (!Platform::SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL)) {
        return Platform::GetLastError();
    }
    if (Platform::DeleteFileA(path)) {
        return ERROR_SUCCESS;
    }
    const DWORD error = Platform::GetLastError();
    if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
        DeleteAtNextRestart(path);
    }
    return error;
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
