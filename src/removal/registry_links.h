// Registry symbolic links inside a key, deleted as links before anything deletes the key.
//
// SHDeleteKeyA and the service manager's own deletion of a deleted service's key open each subkey
// the ordinary way, and a link opened that way opens its target: a link inside the key would have
// its target deleted, and a link back into the key would send the deletion round for ever. Both
// the service step and the key step remove the links first, with this one walk.
#pragma once

#include <windows.h>

struct LinkRemoval {
    // False when the key could not be opened; status is then the number from opening it.
    bool keyOpened;
    // The key itself was a link and has been deleted, its target left alone.
    bool keyWasLink;
    // ERROR_SUCCESS when the key holds ordinary keys only (or is gone, if it was a link);
    // otherwise the number that ended the walk before anything was deleted.
    LSTATUS status;
};

// Deletes, as a link, subKeyPath below rootKey when it is itself a link, else every link in its
// tree. Nothing else changes, and no link is ever entered.
LinkRemoval RemoveRegistryLinks(HKEY rootKey, const char* subKeyPath);
