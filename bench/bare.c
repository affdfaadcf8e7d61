/* The benchmark's yardstick: the same platform calls as the tool's removal, with nothing else
   (no dialogue, no output). The tool should take no longer than this. */
#include <windows.h>
#include <shlwapi.h>

int main(void)
{
    SERVICE_STATUS status;
    PVOID redirection;
    BOOL redirectionOff;
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (manager != NULL) {
        SC_HANDLE service = OpenServiceA(manager, "velkor", DELETE | SERVICE_STOP);
        if (service != NULL) {
            ControlService(service, SERVICE_CONTROL_STOP, &status);
            DeleteService(service);
            CloseServiceHandle(service);
        }
        CloseServiceHandle(manager);
    }
    /* As the tool does: on 64-bit Windows a 32-bit program's system32 is SysWOW64 until this. */
    redirectionOff = Wow64DisableWow64FsRedirection(&redirection);
    if (SetFileAttributesA("C:\\windows\\system32\\velkor.sys", FILE_ATTRIBUTE_NORMAL)) {
        DeleteFileA("C:\\windows\\system32\\velkor.sys");
    }
    if (redirectionOff) {
        Wow64RevertWow64FsRedirection(redirection);
    }
    SHDeleteKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\velkor");
    return 0;
}
