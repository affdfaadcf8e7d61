#include <algorithm>
#include <functional>

#include "test_machine.h"

namespace {

using standin::Machine;
using standin::Operation;
using standin::Service;
using testing_support::Crlf;

const char* const Velkor = "velkor";

struct ServiceCase {
    const char* description;
    std::function<void(Machine&)> plant;
    const char* outcome;
    bool serviceRemains;
};

Service Running(bool acceptsStop)
{
    Service service;
    service.running = true;
    service.acceptsStop = acceptsStop;
    return service;
}

Service HeldElsewhere(bool marked)
{
    Service service;
    service.handlesHeldElsewhere = 1;
    service.markedForDeletion = marked;
    return service;
}

const ServiceCase ServiceCases[] = {
    {"stopped service is deleted with its key", [](Machine& m) { m.AddService(Velkor, Service{}); },
     "DeleteService SUCCESS.\n", false},
    {"running service is stopped and deleted", [](Machine& m) { m.AddService(Velkor, Running(true)); },
     "DeleteService SUCCESS.\n", false},
    {"service refusing the stop is still marked", [](Machine& m) { m.AddService(Velkor, Running(false)); },
     "DeleteService SUCCESS.\n", true},
    {"service open elsewhere stays until closed", [](Machine& m) { m.AddService(Velkor, HeldElsewhere(false)); },
     "DeleteService SUCCESS.\n", true},
    {"service already marked", [](Machine& m) { m.AddService(Velkor, HeldElsewhere(true)); },
     "Already scheduled for deletion (try rebooting)\n", true},
    {"no such service", [](Machine& m) { m.AddService("velkor2", Service{}); }, "Service Not Found.\n", false},
    {"manager refuses full access",
     [](Machine& m) {
         m.AddService(Velkor, Service{});
         m.failures[Operation::OpenSCManagerA] = ERROR_ACCESS_DENIED;
     },
     "OpenSCManager FAILED. GetLastError = 5\n", true},
    {"service refuses to open",
     [](Machine& m) {
         m.AddService(Velkor, Service{});
         m.failures[Operation::OpenServiceA] = ERROR_ACCESS_DENIED;
     },
     "OpenService FAILED. GetLastError = 5\n", true},
    {"deletion refused",
     [](Machine& m) {
         m.AddService(Velkor, Service{});
         m.failures[Operation::DeleteService] = ERROR_ACCESS_DENIED;
     },
     "DeleteService FAILED. GetLastError = 5\n", true},
    // The service manager deletes a stopped service's key as its handle closes, following links:
    // they must be gone by then, and one that cannot go keeps the service from being deleted.
    {"link in a stopped service's key goes first",
     [](Machine& m) {
         m.AddService(Velkor, Service{});
         m.AddKey("SYSTEM\\Far").values["Kept"] = "1";
         m.AddKey(standin::ServiceKeyPath(Velkor) + "\\Far").linkTarget = "SYSTEM\\Far";
     },
     "DeleteService SUCCESS.\n", false},
    {"link that cannot be deleted",
     [](Machine& m) {
         m.AddService(Velkor, Running(true));
         m.AddKey(standin::ServiceKeyPath(Velkor) + "\\Far").linkTarget = "SYSTEM\\Far";
         m.failures[Operation::NtDeleteKey] = 0xC0000022;  // STATUS_ACCESS_DENIED
     },
     "DeleteService FAILED. GetLastError = 5\n", true},
    {"error numbers print as signed decimal",
     [](Machine& m) {
         m.AddService(Velkor, Service{});
         m.failures[Operation::DeleteService] = 0x80070005;
     },
     "DeleteService FAILED. GetLastError = -2147024891\n", true},
};

class RemoveServiceTest : public testing_support::MachineTest {};

TEST_F(RemoveServiceTest, PrintsOneOutcomeLineAndLeavesTheExpectedMachine)
{
    for (const ServiceCase& serviceCase : ServiceCases) {
        SCOPED_TRACE(serviceCase.description);
        SetUp();
        serviceCase.plant(Machine());

        RemoveService(Velkor);

        EXPECT_EQ(Printed(), Crlf(serviceCase.outcome));
        EXPECT_EQ(Machine().HasService(Velkor), serviceCase.serviceRemains);
        EXPECT_EQ(Machine().HasKey(standin::ServiceKeyPath(Velkor)), serviceCase.serviceRemains);
        ExpectNoHandleLeft();
    }
}

TEST_F(RemoveServiceTest, DeletionOfAServiceThatRefusesToStopMarksItAndLeavesItRunning)
{
    Machine().AddService(Velkor, Running(false));

    RemoveService(Velkor);

    const Service& service = Machine().services.at(Velkor);
    EXPECT_TRUE(service.markedForDeletion);
    EXPECT_TRUE(service.running);
}

TEST_F(RemoveServiceTest, NothingFollowsAFailedManagerOpen)
{
    Machine().AddService(Velkor, Service{});
    Machine().failures[Operation::OpenSCManagerA] = ERROR_ACCESS_DENIED;

    RemoveService(Velkor);

    EXPECT_EQ(Machine().calls, std::vector<std::string>{"OpenSCManagerA"});
}

TEST_F(RemoveServiceTest, LooksForLinksBeforeStoppingAndClosesTheServiceBeforeTheManager)
{
    Machine().AddService(Velkor, Service{});

    RemoveService(Velkor);

    const std::string key = standin::ServiceKeyPath(Velkor);
    const std::vector<std::string> expected = {"OpenSCManagerA",
                                               "OpenServiceA velkor",
                                               "RegOpenKeyEx " + key,
                                               "RegQueryValueExW SymbolicLinkValue",
                                               "RegQueryInfoKeyW",
                                               "RegCloseKey " + key,
                                               "ControlService",
                                               "DeleteService",
                                               "CloseServiceHandle velkor",
                                               "CloseServiceHandle manager"};
    EXPECT_EQ(Machine().calls, expected);
}

TEST_F(RemoveServiceTest, ALinkThatCannotBeDeletedLeavesTheServiceRunningAndUndeleted)
{
    Machine().AddService(Velkor, Running(true));
    Machine().AddKey(standin::ServiceKeyPath(Velkor) + "\\Far").linkTarget = "SYSTEM\\Far";
    Machine().failures[Operation::NtDeleteKey] = 0xC0000022;

    RemoveService(Velkor);

    const std::vector<std::string>& calls = Machine().calls;
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "ControlService"), 0);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "DeleteService"), 0);
    EXPECT_TRUE(Machine().services.at(Velkor).running);
    EXPECT_FALSE(Machine().services.at(Velkor).markedForDeletion);
}

TEST_F(RemoveServiceTest, ClosesTheManagerWhenTheServiceDoesNotOpen)
{
    RemoveService(Velkor);

    const std::vector<std::string> expected = {"OpenSCManagerA", "OpenServiceA velkor", "CloseServiceHandle manager"};
    EXPECT_EQ(Machine().calls, expected);
}

}  // namespace
