// Deletes one registry key with everything below it, and nothing outside it.
//
// SHDeleteKeyA follows registry links, so every link in the tree, and the key itself when it is
// one, is first deleted as a link (registry_links.h). What SHDeleteKeyA then deletes is ordinary
// keys only.

#include <string.h>

#include "platform.h"
#include "registry_links.h"
#include "removal.h"

namespace {

// Longer paths are shown as "..." and their last characters, keeping the line short.
constexpr size_t LongestPathShownWhole = 55;
constexpr size_t ShortenedPathTail = 51;

// The step that ended the routine: opening the key, removing the links in it, or deleting what
// is left with SHDeleteKeyA.
enum class KeyStep { Open, RemoveLinks, DeleteTree };

struct KeyOutcome {
    KeyStep step;
    LSTATUS status;
};

// "Not found." means that the key was not there. A number from the walk below a key that was there
// is printed as a number, whatever it is.
void PrintKeyOutcome(KeyOutcome outcome)
{
    const LSTATUS status = outcome.status;
    if (status == ERROR_SUCCESS) {
        Platform::PrintText("Done.\n");
    } else if ((status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND) &&
               outcome.step != KeyStep::RemoveLinks) {
        Platform::PrintText("Not found.\n");
    } else {
        Platform::PrintText("Error %d.\n", static_cast<int>(status));
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

    // A key that was itself a link is gone with the link; there is nothing left to delete.
    const LinkRemoval links = RemoveRegistryLinks(rootKey, subKeyPath);
    KeyOutcome outcome = {links.keyOpened ? KeyStep::RemoveLinks : KeyStep::Open, links.status};
    if (links.status == ERROR_SUCCESS && !links.keyWasLink) {
        outcome = {KeyStep::DeleteTree, Platform::SHDeleteKeyA(rootKey, subKeyPath)};
    }
    PrintKeyOutcome(outcome);
}
