#include "test_machine.h"

namespace {

using standin::Key;
using standin::Operation;
using testing_support::Crlf;

const std::string ServiceKey = "SYSTEM\\CurrentControlSet\\Services\\velkor";

class RemoveRegistryKeyTest : public testing_support::MachineTest {
protected:
    // The key with values and nested subkeys; returns its Enum subkey.
    static Key& PlantServiceKey()
    {
        Key& key = Machine().AddKey(ServiceKey);
        key.values["ImagePath"] = "system32\\velkor.sys";
        key.subkeys["Parameters"].values["Level"] = "3";
        Key& enumKey = key.subkeys["Parameters"].subkeys["Enum"];
        enumKey.values["0"] = "Root\\LEGACY_VELKOR\\0000";
        return enumKey;
    }
};

TEST_F(RemoveRegistryKeyTest, DeletesTheKeyWithEverythingBelowItAndNothingBeside)
{
    PlantServiceKey();
    Machine().AddKey("SYSTEM\\CurrentControlSet\\Services\\velkorx");

    RemoveRegistryKey(HKEY_LOCAL_MACHINE, ServiceKey.c_str());

    EXPECT_EQ(Printed(), Crlf("  Delete SYSTEM\\CurrentControlSet\\Services\\velkor\\: Done.\n"));
    EXPECT_FALSE(Machine().HasKey(ServiceKey));
    EXPECT_TRUE(Machine().HasKey("SYSTEM\\CurrentControlSet\\Services\\velkorx"));
}

TEST_F(RemoveRegistryKeyTest, AMissingKeyOrParentIsNotFound)
{
    for (const char* existing : {"SYSTEM\\CurrentControlSet\\Services", "SYSTEM"}) {
        SCOPED_TRACE(existing);
        SetUp();
        Machine().AddKey(existing);

        RemoveRegistryKey(HKEY_LOCAL_MACHINE, ServiceKey.c_str());

        EXPECT_EQ(Printed(), Crlf("  Delete SYSTEM\\CurrentControlSet\\Services\\velkor\\: Not found.\n"));
    }
}

TEST_F(RemoveRegistryKeyTest, ADeniedSubkeyStopsTheDeletionWithItsNumber)
{
    PlantServiceKey().deleteRefusal = static_cast<LSTATUS>(ERROR_ACCESS_DENIED);

    RemoveRegistryKey(HKEY_LOCAL_MACHINE, ServiceKey.c_str());

    EXPECT_EQ(Printed(), Crlf("  Delete SYSTEM\\CurrentControlSet\\Services\\velkor\\: Error 5.\n"));
    EXPECT_TRUE(Machine().HasKey(ServiceKey + "\\Parameters\\Enum"));
}

TEST_F(RemoveRegistryKeyTest, OtherNumbersArePrintedAsTheyCome)
{
    PlantServiceKey();
    Machine().failures[Operation::SHDeleteKeyA] = 1018;

    RemoveRegistryKey(HKEY_LOCAL_MACHINE, ServiceKey.c_str());

    EXPECT_EQ(Printed(), Crlf("  Delete SYSTEM\\CurrentControlSet\\Services\\velkor\\: Error 1018.\n"));
    EXPECT_TRUE(Machine().HasKey(ServiceKey));
}

TEST_F(RemoveRegistryKeyTest, PathsUpTo55CharactersAreShownWholeLongerOnesByTheirLast51)
{
    const std::string whole = "SOFTWARE\\" + std::string(46, 'k');    // 55 characters
    const std::string longer = "SOFTWARE\\x" + std::string(46, 'k');  // 56 characters
    ASSERT_EQ(whole.size(), 55U);
    ASSERT_EQ(longer.size(), 56U);

    Machine().AddKey(whole);
    RemoveRegistryKey(HKEY_LOCAL_MACHINE, whole.c_str());
    EXPECT_EQ(Printed(), Crlf("  Delete " + whole + "\\: Done.\n"));

    SetUp();
    Machine().AddKey(longer);
    RemoveRegistryKey(HKEY_LOCAL_MACHINE, longer.c_str());
    EXPECT_EQ(Printed(), Crlf("  Delete ..." + longer.substr(5) + "\\: Done.\n"));
    EXPECT_FALSE(Machine().HasKey(longer));
}

// What Wine cannot make: a link that cannot be deleted, ntdll without NtDeleteKey or NtQueryKey, a
// walk that fails. The step then ends with the number, before anything is deleted.
TEST_F(RemoveRegistryKeyTest, AFailingLinkRemovalLeavesTheWholeKeyAndNamesTheNumber)
{
    const struct {
        Operation operation;
        DWORD failure;
        const char* outcome;
        bool onlyBelow;  // a key that is itself a link has no subkeys to walk
    } cases[] = {
        {Operation::NtDeleteKey, 0xC0000022U, "Error 5.", false},    // STATUS_ACCESS_DENIED
        {Operation::NtDeleteKey, 0xC000007AU, "Error 127.", false},  // no NtDeleteKey in this ntdll
        {Operation::NtQueryKey, 0xC0000022U, "Error 5.", false},
        {Operation::NtQueryKey, 0xC000007AU, "Error 127.", false},  // no NtQueryKey: never guess
        {Operation::RegEnumKeyExW, 1450, "Error 1450.", true},
        // The key is there, so even a number that means "not found" is no "Not found.".
        {Operation::RegEnumKeyExW, ERROR_FILE_NOT_FOUND, "Error 2.", true},
    };
    const std::string link = ServiceKey + "\\Parameters\\Back";
    for (const auto& failing : cases) {
        for (const bool keyIsLink : {false, true}) {
            if (keyIsLink && failing.onlyBelow) {
                continue;
            }
            SCOPED_TRACE(std::string(failing.outcome) + (keyIsLink ? " (the key is a link)" : ""));
            SetUp();
            Machine().AddKey("SYSTEM\\Far").values["Kept"] = "1";
            if (keyIsLink) {
                Machine().AddLink(ServiceKey, "SYSTEM\\Far");
            } else {
                PlantServiceKey();
                Machine().AddLink(link, ServiceKey);
            }
            Machine().failures[failing.operation] = failing.failure;
            const std::string before = testing_support::Describe(Machine());

            RemoveRegistryKey(HKEY_LOCAL_MACHINE, ServiceKey.c_str());

            EXPECT_EQ(Printed(), Crlf("  Delete " + ServiceKey + "\\: " + failing.outcome + "\n"));
            EXPECT_EQ(testing_support::Describe(Machine()), before);
            ExpectNoHandleLeft();
            if (failing.operation == Operation::NtDeleteKey && !keyIsLink) {
                // Closed from the most recently opened: the link, its parent, the key.
                std::vector<std::string> closes;
                for (const std::string& call : Machine().calls) {
                    if (call.rfind("RegCloseKey", 0) == 0) {
                        closes.push_back(call);
                    }
                }
                EXPECT_EQ(std::vector<std::string>(closes.end() - 3, closes.end()),
                          (std::vector<std::string>{"RegCloseKey " + link, "RegCloseKey " + ServiceKey + "\\Parameters",
                                                    "RegCloseKey " + ServiceKey}));
            }
        }
    }
}

// The registry nests keys at most 512 levels deep; the walk keeps one open key per level in a
// fixed array, so a deeper tree is refused whole rather than overrun.
TEST_F(RemoveRegistryKeyTest, TreesAsDeepAsTheRegistryAllowsAreDeletedDeeperOnesRefused)
{
    for (const int levels : {512, 513}) {
        SCOPED_TRACE(levels);
        SetUp();
        std::string deepest = ServiceKey;
        for (int level = 0; level < levels; ++level) {
            deepest += "\\k";
        }
        Machine().AddKey(deepest);

        RemoveRegistryKey(HKEY_LOCAL_MACHINE, ServiceKey.c_str());

        EXPECT_EQ(Printed(),
                  Crlf("  Delete " + ServiceKey + "\\: " + (levels == 512 ? "Done." : "Error 1010.") + "\n"));
        EXPECT_EQ(Machine().HasKey(deepest), levels != 512);
        ExpectNoHandleLeft();
    }
}

}  // namespace
