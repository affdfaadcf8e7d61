/* Makes an HKLM key a registry symbolic link, as a driver could shape its own service key.
 *   makelink SUBKEY TARGET   e.g. SYSTEM\CurrentControlSet\Services\velkor\Far
 *                                 \Registry\Machine\SYSTEM\VelkorFar
 * SUBKEY must not exist yet; TARGET is an NT path and need not exist. Prints "ready". */
#include <windows.h>
#include <stdio.h>
#include <string.h>

#ifndef REG_OPTION_CREATE_LINK
#define REG_OPTION_CREATE_LINK 0x00000002L
#endif

int main(int argc, char **argv)
{
    WCHAR subkey[1024];
    WCHAR target[1024];
    HKEY link;
    DWORD disposition;
    LONG rc;

    if (argc != 3) {
        fprintf(stderr, "usage: makelink SUBKEY TARGET\n");
        return 2;
    }
    if (!MultiByteToWideChar(CP_ACP, 0, argv[1], -1, subkey, 1024) ||
        !MultiByteToWideChar(CP_ACP, 0, argv[2], -1, target, 1024)) {
        printf("error MultiByteToWideChar %lu\n", GetLastError());
        return 1;
    }
    rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, subkey, 0, NULL, REG_OPTION_CREATE_LINK,
                         KEY_ALL_ACCESS | KEY_CREATE_LINK, NULL, &link, &disposition);
    if (rc != ERROR_SUCCESS) {
        printf("error RegCreateKeyExW %ld\n", rc);
        return 1;
    }
    if (disposition != REG_CREATED_NEW_KEY) {
        printf("error %s exists already\n", argv[1]);
        return 1;
    }
    /* The target in UTF-16, without a terminating zero. */
    rc = RegSetValueExW(link, L"SymbolicLinkValue", 0, REG_LINK, (const BYTE *)target,
                        (DWORD)(wcslen(target) * sizeof(WCHAR)));
    if (rc != ERROR_SUCCESS) {
        printf("error RegSetValueExW %ld\n", rc);
        return 1;
    }
    RegCloseKey(link);
    printf("ready\n");
    return 0;
}
