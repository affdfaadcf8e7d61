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

}  // namespace
