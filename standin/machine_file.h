// A simulated machine described in text, so that scenarios written once can set up both the host
// executable and a Wine prefix, and so that what a run leaves can start the next run.
//
// One fact a line; paths of files are relative to the Windows directory, keys are below
// HKEY_LOCAL_MACHINE; '#' starts a comment line:
//   windows-directory C:\windows
//   service NAME [running] [refuses-stop] [held-open] [marked]
//   file PATH [readonly] [hidden] [system] [refuse=NUMBER]
//   directory PATH
//   pending-delete FULLPATH   (a deletion at the next boot, recorded by MoveFileExA)
//   key PATH
//   value KEYPATH NAME DATA
//   link KEYPATH TARGETKEYPATH
//   deny KEYPATH NUMBER
//   fail OPERATION NUMBER
#pragma once

#include <istream>
#include <ostream>
#include <string>

#include "machine.h"

namespace standin {

// Applies the description to the machine; returns an empty string or the first line it did not
// understand.
std::string ApplyMachineDescription(std::istream& description, Machine& machine);

// The machine's state in the same lines (chosen failures excepted), sorted within each kind.
void WriteMachineDescription(std::ostream& out, const Machine& machine);

}  // namespace standin
