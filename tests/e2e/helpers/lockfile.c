/* Keeps a file open without delete sharing until stdin reaches end of file,
 * so that DeleteFileA on it fails with a sharing violation.
 * Prints "ready" once the file is open. */
#include <windows.h>
#include <stdio.h>

int main(int argc, char **argv)
{
    char buf[64];
    DWORD got;
    HANDLE f;

    if (argc != 2) {
        fprintf(stderr, "usage: lockfile PATH\n");
        return 2;
    }
    f = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (f == INVALID_HANDLE_VALUE) {
        printf("error CreateFileA %lu\n", GetLastError());
        return 1;
    }
    printf("ready\n");
    fflush(stdout);
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buf, sizeof buf, &got, NULL) && got > 0)
        ;
    CloseHandle(f);
    return 0;
}
