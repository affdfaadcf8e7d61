#include <algorithm>
#include <cstring>
#include <functional>

#include "test_machine.h"

namespace {

using standin::Machine;
using standin::Operation;
using testing_support::Crlf;

const char* const Driver = "\\system32\\velkor.sys";
const DWORD ReadOnlyHiddenSystem = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

struct FileCase {
    const char* description;
    std::function<void(Machine&)> plant;
    const char* outcome;
    bool fileRemains;
    bool deletedAtNextBoot;  // scheduled with MoveFileExA
};

const FileCase FileCases[] = {
    {"read-only hidden system file", [](Machine& m) { m.AddFile(Driver, ReadOnlyHiddenSystem); }, "Done.\n", false,
     false},
    {"missing file", [](Machine& m) { m.AddDirectory("\\system32"); }, "File Not Found.\n", false, false},
    {"missing directory on the way", [](Machine& m) { m.AddDirectory(""); }, "File Not Found.\n", false, false},
    {"directory in the file's place", [](Machine& m) { m.AddDirectory(Driver); }, "Access Denied.\n", false, false},
    {"file open elsewhere",
     [](Machine& m) {
         m.AddFile(Driver, FILE_ATTRIBUTE_READONLY);
         m.files.at(m.FullPath(Driver)).deleteRefusal = ERROR_SHARING_VIOLATION;
     },
     "Error 32.\n", true, true},
    {"deletion refused",
     [](Machine& m) {
         m.AddFile(Driver, FILE_ATTRIBUTE_NORMAL);
         m.failures[Operation::DeleteFileA] = ERROR_ACCESS_DENIED;
     },
     "Access Denied.\n", true, true},
    // A link or junction could lead the deletion at boot elsewhere.
    {"reparse point in the file's place",
     [](Machine& m) {
         m.AddFile(Driver, FILE_ATTRIBUTE_REPARSE_POINT);
         m.files.at(m.FullPath(Driver)).deleteRefusal = ERROR_ACCESS_DENIED;
     },
     "Access Denied.\n", true, false},
    {"scheduling refused: the line is the deletion's own",
     [](Machine& m) {
         m.AddFile(Driver, FILE_ATTRIBUTE_NORMAL);
         m.files.at(m.FullPath(Driver)).deleteRefusal = ERROR_SHARING_VIOLATION;
         m.failures[Operation::MoveFileExA] = ERROR_ACCESS_DENIED;
     },
     "Error 32.\n", true, false},
    {"attribute change refused",
     [](Machine& m) {
         m.AddFile(Driver, FILE_ATTRIBUTE_READONLY);
         m.failures[Operation::SetFileAttributesA] = ERROR_ACCESS_DENIED;
     },
     "Access Denied.\n", true, false},
};

class RemoveWindowsFileTest : public testing_support::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        UseWindowsDirectory("C:\\WINDOWS");
    }

    static void UseWindowsDirectory(const std::string& directory)
    {
        Machine().windowsDirectory = directory;
        std::memcpy(WindowsDirectory, directory.c_str(), directory.size() + 1);
    }

    static bool Called(Operation operation)
    {
        const char* name = operation == Operation::DeleteFileA ? "DeleteFileA" : "SetFileAttributesA";
        return std::any_of(Machine().calls.begin(), Machine().calls.end(),
                           [name](const std::string& call) { return call.rfind(name, 0) == 0; });
    }

    static std::vector<std::string> RedirectionAndFileCalls()
    {
        std::vector<std::string> calls;
        for (const std::string& call : Machine().calls) {
            calls.push_back(call.substr(0, call.find(' ')));
        }
        return calls;
    }
};

TEST_F(RemoveWindowsFileTest, PrintsThePathAndOneOutcome)
{
    for (const FileCase& fileCase : FileCases) {
        SCOPED_TRACE(fileCase.description);
        SetUp();
        fileCase.plant(Machine());
        const bool directoryInPlace = Machine().directories.count(Machine().FullPath(Driver)) != 0;

        RemoveWindowsFile(Driver);

        EXPECT_EQ(Printed(), Crlf(std::string("  Delete C:\\WINDOWS\\system32\\velkor.sys: ") + fileCase.outcome));
        EXPECT_EQ(Machine().HasFile(Driver), fileCase.fileRemains);
        EXPECT_EQ(Machine().directories.count(Machine().FullPath(Driver)) != 0, directoryInPlace);
        EXPECT_EQ(Machine().pendingDeletions, fileCase.deletedAtNextBoot
                                                  ? std::vector<std::string>{Machine().FullPath(Driver)}
                                                  : std::vector<std::string>{});
    }
}

TEST_F(RemoveWindowsFileTest, AFileThatCannotBeDeletedKeepsItsClearedAttributes)
{
    Machine().AddFile(Driver, ReadOnlyHiddenSystem);
    Machine().files.at(Machine().FullPath(Driver)).deleteRefusal = ERROR_SHARING_VIOLATION;

    RemoveWindowsFile(Driver);

    EXPECT_EQ(Machine().files.at(Machine().FullPath(Driver)).attributes, FILE_ATTRIBUTE_NORMAL);
}

TEST_F(RemoveWindowsFileTest, NoDeletionIsTriedWhenTheAttributesCannotBeCleared)
{
    Machine().AddFile(Driver, FILE_ATTRIBUTE_READONLY);
    Machine().failures[Operation::SetFileAttributesA] = ERROR_ACCESS_DENIED;

    RemoveWindowsFile(Driver);

    EXPECT_FALSE(Called(Operation::DeleteFileA));
}

// With the 20-character driver path, a Windows directory of 239 characters is the longest that
// fits the 260-byte path buffer with its terminating zero.
TEST_F(RemoveWindowsFileTest, TheLongestDirectoryThatFitsIsJoinedWhole)
{
    UseWindowsDirectory("C:\\" + std::string(236, 'd'));
    Machine().AddFile(Driver, ReadOnlyHiddenSystem);

    RemoveWindowsFile(Driver);

    EXPECT_EQ(Printed(), Crlf("  Delete " + Machine().FullPath(Driver) + ": Done.\n"));
    EXPECT_FALSE(Machine().HasFile(Driver));
}

TEST_F(RemoveWindowsFileTest, APathTooLongForTheBufferIsReportedWholeAndNothingIsDeleted)
{
    for (const std::size_t directoryLength : {240U, 259U}) {
        SCOPED_TRACE(directoryLength);
        SetUp();
        UseWindowsDirectory("C:\\" + std::string(directoryLength - 3, 'd'));
        Machine().AddFile(Driver, FILE_ATTRIBUTE_NORMAL);
        // What a join cut short to the buffer would name.
        const std::string cutShort = Machine().FullPath(Driver).substr(0, MAX_PATH - 1);
        Machine().files[cutShort] = standin::File{};

        RemoveWindowsFile(Driver);

        EXPECT_EQ(Printed(), Crlf("  Delete " + Machine().FullPath(Driver) + ": Error 206.\n"));
        EXPECT_TRUE(Machine().HasFile(Driver));
        EXPECT_EQ(Machine().files.count(cutShort), 1U);
        EXPECT_FALSE(Called(Operation::SetFileAttributesA));
    }
}

}  // namespace

namespace {

using testing_support::Crlf;

const char* const SysWow64Driver = "\\SysWOW64\\velkor.sys";

class RemoveWindowsFileOn64BitWindowsTest : public RemoveWindowsFileTest {
protected:
    void SetUp() override
    {
        RemoveWindowsFileTest::SetUp();
        Machine().is64BitWindows = true;
        Machine().AddFile(Driver, FILE_ATTRIBUTE_READONLY);
        Machine().AddFile(SysWow64Driver, FILE_ATTRIBUTE_READONLY);
    }
};

TEST_F(RemoveWindowsFileOn64BitWindowsTest, DeletesTheRealSystem32FileAndLeavesSysWow64Alone)
{
    RemoveWindowsFile(Driver);

    EXPECT_EQ(Printed(), Crlf("  Delete C:\\WINDOWS\\system32\\velkor.sys: Done.\n"));
    EXPECT_FALSE(Machine().HasFile(Driver));
    EXPECT_TRUE(Machine().HasFile(SysWow64Driver));
    EXPECT_EQ(Machine().files.at(Machine().FullPath(SysWow64Driver)).attributes, FILE_ATTRIBUTE_READONLY);
}

TEST_F(RemoveWindowsFileOn64BitWindowsTest, TurnsRedirectionBackOnAfterReadingTheFailedCallsNumber)
{
    Machine().files.at(Machine().FullPath(Driver)).deleteRefusal = ERROR_SHARING_VIOLATION;

    RemoveWindowsFile(Driver);

    EXPECT_EQ(Printed(), Crlf("  Delete C:\\WINDOWS\\system32\\velkor.sys: Error 32.\n"));
    EXPECT_FALSE(Machine().redirectionOff);
    // Scheduled with the redirection off, under the literal system32 path, which at boot is the
    // real system32.
    const std::vector<std::string> expected = {
        "Wow64DisableWow64FsRedirection", "SetFileAttributesA", "DeleteFileA", "GetFileAttributesA", "MoveFileExA",
        "Wow64RevertWow64FsRedirection"};
    EXPECT_EQ(RedirectionAndFileCalls(), expected);
    EXPECT_EQ(Machine().pendingDeletions, std::vector<std::string>{"C:\\WINDOWS\\system32\\velkor.sys"});
}

TEST_F(RemoveWindowsFileTest, WhereRedirectionCannotBeTurnedOffNothingIsTurnedBackOn)
{
    for (const bool hasFunctions : {true, false}) {
        SCOPED_TRACE(hasFunctions ? "32-bit Windows" : "Windows without the functions");
        SetUp();
        Machine().hasRedirectionFunctions = hasFunctions;
        Machine().AddFile(Driver, FILE_ATTRIBUTE_READONLY);

        RemoveWindowsFile(Driver);

        EXPECT_EQ(Printed(), Crlf("  Delete C:\\WINDOWS\\system32\\velkor.sys: Done.\n"));
        const std::vector<std::string> expected = {"Wow64DisableWow64FsRedirection", "SetFileAttributesA",
                                                   "DeleteFileA"};
        EXPECT_EQ(RedirectionAndFileCalls(), expected);
    }
}

}  // namespace
