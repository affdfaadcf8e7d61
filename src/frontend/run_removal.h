#pragma once

// The whole dialogue: banner, confirmation, the three removal steps and the closing wait.
// Returns the process exit status: 1 when the user did not confirm, 0 after the removal ran.
int RunRemoval();
