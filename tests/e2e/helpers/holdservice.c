/* Holds a handle to a service until stdin reaches end of file.
 *   holdservice NAME          keep the service open (its deletion stays pending)
 *   holdservice NAME delete   delete it first, so it stays marked for deletion
 * Prints "ready" once the handle is held; the harness waits for that line. */
#include <windows.h>
#include <stdio.h>
#include <string.h>

static void wait_for_stdin_eof(void)
{
    char buf[64];
    DWORD got;
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    while (ReadFile(in, buf, sizeof buf, &got, NULL) && got > 0)
        ;
}

int main(int argc, char **argv)
{
    int delete_it = argc == 3 && strcmp(argv[2], "delete") == 0;
    SC_HANDLE scm, svc;

    if (argc < 2) {
        fprintf(stderr, "usage: holdservice NAME [delete]\n");
        return 2;
    }
    scm = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    if (!scm) {
        printf("error OpenSCManagerA %lu\n", GetLastError());
        return 1;
    }
    svc = OpenServiceA(scm, argv[1], SERVICE_QUERY_STATUS | DELETE);
    if (!svc) {
        printf("error OpenServiceA %lu\n", GetLastError());
        return 1;
    }
    if (delete_it && !DeleteService(svc)) {
        printf("error DeleteService %lu\n", GetLastError());
        return 1;
    }
    printf("ready\n");
    fflush(stdout);
    wait_for_stdin_eof();
    CloseServiceHandle(svc);
    CloseServiceHandle(scm);
    return 0;
}
