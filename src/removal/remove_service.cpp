// Stops a service and asks the Service Control Manager to delete it.

#include <string.h>

#include "class_filters.h"
#include "platform.h"
#include "registry_links.h"
#include "removal.h"

namespace {

// The service manager keeps each service's configuration in this key's subkey of its name, below
// HKEY_LOCAL_MACHINE; a service name has at most 256 characters.
constexpr char ServicesKeyPath[] = "SYSTEM\\CurrentControlSet\\Services\\";
constexpr size_t LongestServiceName = 256;

// Owns one handle from the service manager (the manager's own or a service's) and closes it
// with CloseServiceHandle, the one function that closes such handles.
class UniqueServiceHandle {
public:
    explicit UniqueServiceHandle(SC_HANDLE handle) : handle_(handle) {}
    ~UniqueServiceHandle()
    {
        if (handle_ != nullptr) {
            Platform::CloseServiceHandle(handle_);
        }
    }
    UniqueServiceHandle(const UniqueServiceHandle&) = delete;
    UniqueServiceHandle& operator=(const UniqueServiceHandle&) = delete;
    UniqueServiceHandle(UniqueServiceHandle&&) = delete;
    UniqueServiceHandle& operator=(UniqueServiceHandle&&) = delete;

    [[nodiscard]] SC_HANDLE Get() const { return handle_; }
    [[nodiscard]] bool IsOpen() const { return handle_ != nullptr; }

private:
    SC_HANDLE handle_;
};

enum class ServiceStep { OpenManager, OpenService, Delete };

// The outcome line for the step that ended the routine, with the error number read right
// after that step failed (ERROR_SUCCESS when the deletion was accepted).
void PrintServiceOutcome(ServiceStep step, DWORD error)
{
    const int number = static_cast<int>(error);
    switch (step) {
    case ServiceStep::OpenManager:
        Platform::PrintText("OpenSCManager FAILED. GetLastError = %d\n", number);
        return;
    case ServiceStep::OpenService:
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
            Platform::PrintText("Service Not Found.\n");
        } else {
            Platform::PrintText("OpenService FAILED. GetLastError = %d\n", number);
        }
        return;
    case ServiceStep::Delete:
        if (error == ERROR_SUCCESS) {
            Platform::PrintText("DeleteService SUCCESS.\n");
        } else if (error == ERROR_SERVICE_MARKED_FOR_DELETE) {
            Platform::PrintText("Already scheduled for deletion (try rebooting)\n");
        } else {
            Platform::PrintText("DeleteService FAILED. GetLastError = %d\n", number);
        }
        return;
    }
}

// The service manager deletes a deleted service's key itself, once the service has stopped and its
// last handle is closed, and it follows registry links there. So the links in the key go before
// the service is stopped or deleted. Returns ERROR_SUCCESS when no link is left (a key that is not
// there has none), else the number that kept one in place.
DWORD RemoveLinksFromServiceKey(const char* serviceName)
{
    const size_t nameLength = strlen(serviceName);
    if (nameLength > LongestServiceName) {
        return ERROR_INVALID_NAME;
    }
    char keyPath[sizeof ServicesKeyPath + LongestServiceName];
    memcpy(keyPath, ServicesKeyPath, sizeof ServicesKeyPath - 1);
    memcpy(keyPath + sizeof ServicesKeyPath - 1, serviceName, nameLength + 1);

    const LinkRemoval links = RemoveRegistryLinks(HKEY_LOCAL_MACHINE, keyPath);
    const bool keyMissing =
        !links.keyOpened && (links.status == ERROR_FILE_NOT_FOUND || links.status == ERROR_PATH_NOT_FOUND);
    return keyMissing ? ERROR_SUCCESS : static_cast<DWORD>(links.status);
}

}  // namespace

void RemoveService(const char* serviceName)
{
    const UniqueServiceHandle manager(Platform::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager.IsOpen()) {
        PrintServiceOutcome(ServiceStep::OpenManager, Platform::GetLastError());
        return;
    }

    const UniqueServiceHandle service(Platform::OpenServiceA(manager.Get(), serviceName, DELETE | SERVICE_STOP));
    if (!service.IsOpen()) {
        PrintServiceOutcome(ServiceStep::OpenService, Platform::GetLastError());
        return;
    }

    // Windows must find the service's name nowhere once the service is gone: a class filter list
    // that still named it would keep the class's devices from starting. And a link left in the
    // key would lead the service manager's deletion outside it. When either cannot be made sure
    // of, the service is neither stopped nor deleted, and the line names the number. The filter
    // lists go first: the driver file goes in the next step whatever this one finds, and a list
    // naming a driver without its file is what keeps a device from starting.
    DWORD error = RemoveFromClassFilters(serviceName);
    if (error == ERROR_SUCCESS) {
        error = RemoveLinksFromServiceKey(serviceName);
    }
    if (error != ERROR_SUCCESS) {
        PrintServiceOutcome(ServiceStep::Delete, error);
        return;
    }

    // The stop request's outcome is deliberately ignored and not waited for: a service that is
    // already stopped or refuses to stop is still marked for deletion, and the service manager
    // removes it once it has stopped and its last handle is closed.
    SERVICE_STATUS status{};
    Platform::ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);

    const DWORD deleteError = Platform::DeleteService(service.Get()) ? ERROR_SUCCESS : Platform::GetLastError();
    PrintServiceOutcome(ServiceStep::Delete, deleteError);
}
