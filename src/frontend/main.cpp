#include "run_removal.h"

// Command-line arguments and the environment are accepted and ignored.
int main()
{
    return RunRemoval();
}
