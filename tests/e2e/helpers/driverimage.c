/* A kernel driver that loads and does nothing. It has no unload routine, so
 * once started it stays loaded: its image file cannot be deleted, and a stop
 * request leaves the service stop-pending. */
#include <ddk/wdm.h>

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path)
{
    (void)driver;
    (void)registry_path;
    return STATUS_SUCCESS;
}
