// Deletes one registry key with everything below it.

#include <string.h>

#include "platform.h"
#include "removal.h"

namespace {

// Longer paths are shown as "..." and their last characters, keeping the line short.
constexpr size_t LongestPathShownWhole = 55;
constexpr size_t ShortenedPathTail = 51;

void PrintKeyOutcome(LSTATUS status)
{
    switch (status) {
    case ERROR_SUCCESS:
        Platform::PrintText("Done.\n");
        return;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        Platform::PrintText("Not found.\n");
        return;
    default:
        Platform::PrintText("Error %d.\n", static_cast<int>(status));
        return;
    }
}

}  // namespace

void RemoveRegistryKey(HKEY rootKey, const char* subKeyPath)
{
    const size_t length = strlen(subKeyPath);
    if (length <= LongestPathShownWhole) {
        Platform::PrintText("  Delete %s\\: ", subKeyPath);
    } else {
        Platform::PrintText("  Delete ...%s\\: ", subKeyPath + (length - ShortenedPathTail));
    }

    PrintKeyOutcome(Platform::SHDeleteKeyA(rootKey, subKeyPath));
}
