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
         m.AddLink(standin::ServiceKeyPath(Velkor) + "\\Far", "SYSTEM\\Far");
     },
     "DeleteService SUCCESS.\n", false},
    {"link that cannot be deleted",
     [](Machine& m) {
         m.AddService(Velkor, Running(true));
         m.AddLink(standin::ServiceKeyPath(Velkor) + "\\Far", "SYSTEM\\Far");
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
    // The key is opened as itself and the ordinary way; the same name twice makes it no link.
    const std::vector<std::string> expected = {"OpenSCManagerA",
                                               "OpenServiceA velkor",
                                               "RegOpenKeyEx SYSTEM\\CurrentControlSet\\Control\\Class",
                                               "RegOpenKeyEx " + key,
                                               "RegOpenKeyEx " + key,
                                               "NtQueryKey " + key,
                                               "NtQueryKey " + key,
                                               "RegCloseKey " + key,
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
    Machine().AddLink(standin::ServiceKeyPath(Velkor) + "\\Far", "SYSTEM\\Far");
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

// The class filter lists, with velkor among other names in either letter case, beside look-alikes,
// and alone.
const std::string Classes = "SYSTEM\\CurrentControlSet\\Control\\Class\\";
const std::string CdRom = Classes + "{4d36e965-e325-11ce-bfc1-08002be10318}";
const std::string Disk = Classes + "{4d36e967-e325-11ce-bfc1-08002be10318}";
const std::string Keyboard = Classes + "{4d36e96b-e325-11ce-bfc1-08002be10318}";

// A list as Windows writes it: each entry closed by a zero, then one more zero.
std::wstring List(std::initializer_list<const wchar_t*> entries)
{
    std::wstring list;
    for (const wchar_t* entry : entries) {
        list += entry;
        list += L'\0';
    }
    return list + L'\0';
}

void PlantFilterLists(Machine& machine)
{
    machine.AddKey(CdRom).multiStrings["UpperFilters"] = List({L"GEARAspiWDM", L"Velkor", L"redbook", L"velkor"});
    machine.AddKey(CdRom).multiStrings["LowerFilters"] = List({L"velkor"});
    machine.AddKey(Disk).multiStrings["UpperFilters"] = List({L"partmgr", L"VELKOR", L"velkorx"});
    machine.AddKey(Keyboard).multiStrings["UpperFilters"] = List({L"kbdclass", L"velkor2", L"xvelkor"});
}

TEST_F(RemoveServiceTest, TheServiceLeavesEveryClassFilterListAndNothingElseChanges)
{
    Machine().AddService(Velkor, Service{});
    PlantFilterLists(Machine());
    const std::wstring keyboardList = Machine().FindKey(Keyboard)->multiStrings.at("UpperFilters");

    RemoveService(Velkor);

    EXPECT_EQ(Printed(), Crlf("DeleteService SUCCESS.\n"));
    EXPECT_EQ(Machine().FindKey(CdRom)->multiStrings.at("UpperFilters"), List({L"GEARAspiWDM", L"redbook"}));
    EXPECT_EQ(Machine().FindKey(CdRom)->multiStrings.count("LowerFilters"), 0U);
    EXPECT_EQ(Machine().FindKey(Disk)->multiStrings.at("UpperFilters"), List({L"partmgr", L"velkorx"}));
    EXPECT_EQ(Machine().FindKey(Keyboard)->multiStrings.at("UpperFilters"), keyboardList);
    // Each class key is opened to read its values, and to write them only where a list names velkor.
    for (const standin::Machine::OpenKey& opened : Machine().keysOpened) {
        if (opened.path.rfind(Classes, 0) == 0) {
            EXPECT_TRUE(opened.access == KEY_QUERY_VALUE || (opened.access == KEY_SET_VALUE && opened.path != Keyboard))
                << opened.path << " opened with " << opened.access;
        }
    }
    ExpectNoHandleLeft();
}

// What Wine cannot make, and a class key that refuses access: while any list may still name the
// service, it is neither stopped nor deleted. The other classes' lists lose the name all the same.
TEST_F(RemoveServiceTest, AClassListThatCannotBeMadeSureOfKeepsTheServiceRunningAndUndeleted)
{
    const struct {
        const char* description;
        std::function<void(standin::Machine&)> plant;
        const char* outcome;
    } cases[] = {
        {"value refuses to be written", [](standin::Machine& m) { m.failures[Operation::RegSetValueExW] = 5; },
         "DeleteService FAILED. GetLastError = 5\n"},
        {"value refuses to be deleted", [](standin::Machine& m) { m.failures[Operation::RegDeleteValueW] = 1018; },
         "DeleteService FAILED. GetLastError = 1018\n"},
        {"class key denies access", [](standin::Machine& m) { m.AddKey(Keyboard).deleteRefusal = 5; },
         "DeleteService FAILED. GetLastError = 5\n"},
        {"list without its closing zero",
         [](standin::Machine& m) { m.AddKey(Keyboard).multiStrings["LowerFilters"] = std::wstring(L"velkor\0", 7); },
         "DeleteService FAILED. GetLastError = 13\n"},
        {"list with an empty entry inside",
         [](standin::Machine& m) {
             m.AddKey(Keyboard).multiStrings["LowerFilters"] = std::wstring(L"a\0\0velkor\0\0", 11);
         },
         "DeleteService FAILED. GetLastError = 13\n"},
        {"filter value of another type",
         [](standin::Machine& m) { m.AddKey(Keyboard).values["LowerFilters"] = "velkor"; },
         "DeleteService FAILED. GetLastError = 13\n"},
        {"list too long to read",
         [](standin::Machine& m) {
             m.AddKey(Keyboard).multiStrings["LowerFilters"] = List({std::wstring(5000, L'x').c_str()});
         },
         "DeleteService FAILED. GetLastError = 234\n"},
    };
    for (const auto& failing : cases) {
        SCOPED_TRACE(failing.description);
        SetUp();
        Machine().AddService(Velkor, Running(true));
        PlantFilterLists(Machine());
        failing.plant(Machine());
        const standin::Key keyboardBefore = *Machine().FindKey(Keyboard);

        RemoveService(Velkor);

        EXPECT_EQ(Printed(), Crlf(failing.outcome));
        const std::vector<std::string>& calls = Machine().calls;
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "ControlService"), 0);
        EXPECT_TRUE(Machine().services.at(Velkor).running);
        EXPECT_FALSE(Machine().services.at(Velkor).markedForDeletion);
        EXPECT_EQ(Machine().FindKey(Keyboard)->multiStrings, keyboardBefore.multiStrings);
        EXPECT_EQ(Machine().FindKey(Keyboard)->values, keyboardBefore.values);
        if (Machine().failures.empty()) {
            EXPECT_EQ(Machine().FindKey(Disk)->multiStrings.at("UpperFilters"), List({L"partmgr", L"velkorx"}));
        }
        ExpectNoHandleLeft();
    }
}

}  // namespace
