// The tool's one control flow, from banner to exit status.

#include "run_removal.h"

#include "platform.h"
#include "removal.h"
#include "targets.h"

namespace {

// fgets stores at most six characters and the terminating zero; the rest of a longer line stays
// pending in standard input for the next read.
constexpr int AnswerReadSize = 7;

bool IsConfirmation(char firstCharacter)
{
    return firstCharacter == 'y' || firstCharacter == 'Y';
}

}  // namespace

int RunRemoval()
{
    // Zero before the first read, so a read that stores nothing never confirms.
    char answer[8] = {};

    Platform::PrintText("Velkor Remover 0.1\n"
                        "Copyright (c) 2026 the Velkor Remover authors.\n"
                        "\n");

    Platform::PrintText("Locating Windows... ");
    Platform::GetWindowsDirectoryA(WindowsDirectory, MAX_PATH);
    Platform::PrintText("%s\n\n", WindowsDirectory);

    Platform::PrintText("WARNING: This program comes with no warranty.\n\n"
                        "Are you sure you wish to proceed with deletion of the QZ SERVICE\n"
                        "and related files? ");
    Platform::ReadLine(answer, AnswerReadSize);
    if (!IsConfirmation(answer[0])) {
        return 1;
    }

    // Each routine completes the line above it with its own outcome text.
    Platform::PrintText("\nRemoving QZ Service... ");
    RemoveService(TargetServiceName);

    Platform::PrintText("Deleting VELKOR Files...\n");
    RemoveWindowsFile(TargetDriverPath);
    Platform::PrintText("Finished removing VELKOR.\n");

    Platform::PrintText("\nRemoving REGISTRY ENTRIES...\n");
    RemoveRegistryKey(HKEY_LOCAL_MACHINE, TargetServiceKey);
    Platform::PrintText("Finished removing REGISTRY ENTRIES.\n");

    Platform::PrintText("\nIf you received any Access Denied errors, try restarting and re-running the application.\n\n"
                        "Press ENTER to exit.\n");
    // Whatever this reads, or whether it reads anything, only ends the wait.
    Platform::ReadLine(answer, AnswerReadSize);
    return 0;
}
