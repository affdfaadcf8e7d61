/* An own-process service that reports itself running but accepts no
 * controls, so a stop request is refused (ERROR_INVALID_SERVICE_CONTROL).
 * It runs until its process is ended. */
#include <windows.h>

static SERVICE_STATUS_HANDLE status_handle;

static DWORD WINAPI handler(DWORD control, DWORD type, LPVOID data, LPVOID context)
{
    (void)type; (void)data; (void)context;
    return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

static void WINAPI service_main(DWORD argc, LPSTR *argv)
{
    SERVICE_STATUS st;
    (void)argc;
    status_handle = RegisterServiceCtrlHandlerExA(argv[0], handler, NULL);
    if (!status_handle)
        return;
    ZeroMemory(&st, sizeof st);
    st.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    st.dwCurrentState = SERVICE_RUNNING;
    st.dwControlsAccepted = 0;
    SetServiceStatus(status_handle, &st);
    Sleep(INFINITE);
}

int main(void)
{
    SERVICE_TABLE_ENTRYA table[] = {{(LPSTR)"", service_main}, {NULL, NULL}};
    return StartServiceCtrlDispatcherA(table) ? 0 : 1;
}
