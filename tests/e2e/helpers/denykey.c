/* Replaces the DACL of an HKLM key by a single Everyone-deny-all ACE.
 *   denykey SUBKEY   e.g. SYSTEM\CurrentControlSet\Services\velkor\Enum
 * Prints "ready" when the new DACL is in place. The owner keeps WRITE_DAC,
 * so the key can still be reset later. */
#include <windows.h>
#include <aclapi.h>
#include <stdio.h>

int main(int argc, char **argv)
{
    SID_IDENTIFIER_AUTHORITY world = {SECURITY_WORLD_SID_AUTHORITY};
    PSID everyone = NULL;
    EXPLICIT_ACCESSA deny;
    PACL acl = NULL;
    SECURITY_DESCRIPTOR sd;
    HKEY key;
    LONG rc;

    if (argc != 2) {
        fprintf(stderr, "usage: denykey SUBKEY\n");
        return 2;
    }
    if (!AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone)) {
        printf("error AllocateAndInitializeSid %lu\n", GetLastError());
        return 1;
    }
    ZeroMemory(&deny, sizeof deny);
    deny.grfAccessPermissions = KEY_ALL_ACCESS;
    deny.grfAccessMode = DENY_ACCESS;
    deny.grfInheritance = NO_INHERITANCE;
    deny.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    deny.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    deny.Trustee.ptstrName = (LPSTR)everyone;
    rc = SetEntriesInAclA(1, &deny, NULL, &acl);
    if (rc != ERROR_SUCCESS) {
        printf("error SetEntriesInAclA %ld\n", rc);
        return 1;
    }
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE);

    rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, argv[1], 0, WRITE_DAC, &key);
    if (rc != ERROR_SUCCESS) {
        printf("error RegOpenKeyExA %ld\n", rc);
        return 1;
    }
    rc = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &sd);
    if (rc != ERROR_SUCCESS) {
        printf("error RegSetKeySecurity %ld\n", rc);
        return 1;
    }
    RegCloseKey(key);
    printf("ready\n");
    return 0;
}
