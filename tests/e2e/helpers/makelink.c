/* Makes an HKLM key a registry symbolic link, as a driver could shape its own service key.
 *   makelink SUBKEY TARGET   e.g. SYSTEM\CurrentControlSet\Services\velkor\Far
 *                                 \Registry\Machine\SYSTEM\VelkorFar
 *   makelink SUBKEY          a link that never gets a target
 *   makelink -value SUBKEY TARGET
 *                            no link: an ordinary key, existing or new, given the value
 *                            SymbolicLinkValue of type REG_LINK all the same
 * A link's SUBKEY must not exist yet; TARGET is an NT path and need not exist. Prints "ready". */
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
    HKEY key;
    DWORD disposition;
    LONG rc;
    int value_only = argc == 4 && strcmp(argv[1], "-value") == 0;

    if (value_only) {
        argv++;
        argc--;
    }
    if (argc != 2 && argc != 3) {
        fprintf(stderr, "usage: makelink [-value] SUBKEY [TARGET]\n");
        return 2;
    }
    if (!MultiByteToWideChar(CP_ACP, 0, argv[1], -1, subkey, 1024) ||
        (argc == 3 && !MultiByteToWideChar(CP_ACP, 0, argv[2], -1, target, 1024))) {
        printf("error MultiByteToWideChar %lu\n", GetLastError());
        return 1;
    }
    rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, subkey, 0, NULL, value_only ? 0 : REG_OPTION_CREATE_LINK,
                         KEY_ALL_ACCESS | (value_only ? 0 : KEY_CREATE_LINK), NULL, &key, &disposition);
    if (rc != ERROR_SUCCESS) {
        printf("error RegCreateKeyExW %ld\n", rc);
        return 1;
    }
    if (!value_only && disposition != REG_CREATED_NEW_KEY) {
        printf("error %s exists already\n", argv[1]);
        return 1;
    }
    /* The target in UTF-16, without a terminating zero. */
    rc = argc == 3 ? RegSetValueExW(key, L"SymbolicLinkValue", 0, REG_LINK, (const BYTE *)target,
                                    (DWORD)(wcslen(target) * sizeof(WCHAR)))
                   : ERROR_SUCCESS;
    if (rc != ERROR_SUCCESS) {
        printf("error RegSetValueExW %ld\n", rc);
        return 1;
    }
    RegCloseKey(key);
    printf("ready\n");
    return 0;
}
