#include "run_removal.h"
#include "test_machine.h"

namespace {

using standin::Operation;
using testing_support::Crlf;
using testing_support::Describe;

const std::string Question = "Velkor Remover 0.1\n"
                             "Copyright (c) 2026 the Velkor Remover authors.\n"
                             "\n"
                             "Locating Windows... C:\\WINDOWS\n"
                             "\n"
                             "WARNING: This program comes with no warranty.\n"
                             "\n"
                             "Are you sure you wish to proceed with deletion of the QZ SERVICE\n"
                             "and related files? ";

// On the installed machine the service manager removes the service's key as soon as the deleted
// service's last handle closes, so the key step that follows finds nothing left.
const std::string RemovalOnInstalledMachine = "\n"
                                              "Removing QZ Service... DeleteService SUCCESS.\n"
                                              "Deleting VELKOR Files...\n"
                                              "  Delete C:\\WINDOWS\\system32\\velkor.sys: Done.\n"
                                              "Finished removing VELKOR.\n"
                                              "\n"
                                              "Removing REGISTRY ENTRIES...\n"
                                              "  Delete SYSTEM\\CurrentControlSet\\Services\\velkor\\: Not found.\n"
                                              "Finished removing REGISTRY ENTRIES.\n";

const std::string Closing = "\n"
                            "If you received any Access Denied errors, try restarting and re-running the application.\n"
                            "\n"
                            "Press ENTER to exit.\n";

const std::string ConfirmedRunOnInstalledMachine = Question + RemovalOnInstalledMachine + Closing;

class RunRemovalTest : public testing_support::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        Machine() = standin::InstalledMachine();
    }

    // Runs the tool to its exit status, as the process would, and writes out what the C runtime
    // still holds at exit.
    static int Run(const std::string& input, bool inputIsDevice = false, bool outputIsDevice = false)
    {
        standin::UseTestConsole(input, inputIsDevice, outputIsDevice);
        const int status = RunRemoval();
        standin::ConsoleFlushAtExit();
        return status;
    }

    static void ExpectVelkorGoneAndLookAlikesKept()
    {
        EXPECT_FALSE(Machine().HasService("velkor"));
        EXPECT_FALSE(Machine().HasFile("\\system32\\velkor.sys"));
        EXPECT_FALSE(Machine().HasKey(standin::ServiceKeyPath("velkor")));
        EXPECT_TRUE(Machine().HasService("velkor2"));
        EXPECT_TRUE(Machine().HasKey(standin::ServiceKeyPath("velkor2")));
        EXPECT_TRUE(Machine().HasKey(standin::ServiceKeyPath("velkorx")));
        EXPECT_TRUE(Machine().HasFile("\\system32\\drivers\\velkor.sys"));
        EXPECT_TRUE(Machine().HasFile("\\system32\\velkor.sys.bak"));
    }
};

TEST_F(RunRemovalTest, AnAnswerStartingWithYRemovesEverythingAndEndsWithStatus0)
{
    for (const char* answer : {"y\n", "Y\n", "yes\n", "Yup\n", "y2\n", "y\r\n", "yes", "ye\x1as\n"}) {
        SCOPED_TRACE(testing::PrintToString(answer));
        SetUp();

        EXPECT_EQ(Run(answer), 0);

        EXPECT_EQ(standin::TestConsoleOutput(), Crlf(ConfirmedRunOnInstalledMachine));
        ExpectVelkorGoneAndLookAlikesKept();
    }
}

TEST_F(RunRemovalTest, AnyOtherAnswerOrNoAnswerEndsAtTheQuestionWithStatus1)
{
    for (const char* answer : {"n\n", "\n", "\r\n", " y\n", "", "\x1ay\n", "ny\n", "\ry\n"}) {
        SCOPED_TRACE(testing::PrintToString(answer));
        SetUp();
        const std::string before = Describe(Machine());

        EXPECT_EQ(Run(answer), 1);

        EXPECT_EQ(standin::TestConsoleOutput(), Crlf(Question));
        EXPECT_EQ(Describe(Machine()), before);
    }
}

TEST_F(RunRemovalTest, CtrlZAtTheStartOfAConsoleLineDeclines)
{
    EXPECT_EQ(Run("\x1a\ny\n", true, true), 1);
    EXPECT_EQ(standin::TestConsoleOutput(), Crlf(Question));
}

TEST_F(RunRemovalTest, OnAConsoleEachPromptIsShownBeforeTheToolWaits)
{
    EXPECT_EQ(Run("y\n\n", true, true), 0);

    const std::vector<std::string> expected = {Crlf(Question), Crlf(ConfirmedRunOnInstalledMachine)};
    EXPECT_EQ(standin::TestConsoleOutputAtEachWait(), expected);
}

TEST_F(RunRemovalTest, ToAFileOrPipeNothingIsWrittenBeforeExit)
{
    EXPECT_EQ(Run("y\n\n", false, false), 0);

    for (const std::string& shown : standin::TestConsoleOutputAtEachWait()) {
        EXPECT_EQ(shown, "");
    }
    EXPECT_EQ(standin::TestConsoleOutput(), Crlf(ConfirmedRunOnInstalledMachine));
}

TEST_F(RunRemovalTest, TheRestOfALongAnswerSatisfiesTheClosingRead)
{
    EXPECT_EQ(Run("yesyesyes\n", true, true), 0);
    EXPECT_EQ(standin::TestConsoleOutputAtEachWait().size(), 1U) << "the closing read waited for input";

    SetUp();
    EXPECT_EQ(Run("yesyes\n", true, true), 0);
    EXPECT_EQ(standin::TestConsoleOutputAtEachWait().size(), 1U) << "the closing read waited for input";

    SetUp();
    EXPECT_EQ(Run("yesye\n", true, true), 0);
    EXPECT_EQ(standin::TestConsoleOutputAtEachWait().size(), 2U) << "the closing read did not wait";
}

TEST_F(RunRemovalTest, EveryStepFailingStillEndsWithStatus0AndTheClosingText)
{
    Machine().failures[Operation::OpenSCManagerA] = ERROR_ACCESS_DENIED;
    Machine().failures[Operation::DeleteFileA] = ERROR_SHARING_VIOLATION;
    Machine().failures[Operation::SHDeleteKeyA] = ERROR_ACCESS_DENIED;

    EXPECT_EQ(Run("y\n"), 0);

    const std::string removal = "\n"
                                "Removing QZ Service... OpenSCManager FAILED. GetLastError = 5\n"
                                "Deleting VELKOR Files...\n"
                                "  Delete C:\\WINDOWS\\system32\\velkor.sys: Error 32.\n"
                                "Finished removing VELKOR.\n"
                                "\n"
                                "Removing REGISTRY ENTRIES...\n"
                                "  Delete SYSTEM\\CurrentControlSet\\Services\\velkor\\: Error 5.\n"
                                "Finished removing REGISTRY ENTRIES.\n";
    EXPECT_EQ(standin::TestConsoleOutput(), Crlf(Question + removal + Closing));
    EXPECT_TRUE(Machine().HasService("velkor"));
    EXPECT_TRUE(Machine().HasKey(standin::ServiceKeyPath("velkor")));
}

// GetWindowsDirectoryA leaves a buffer that is too small unwritten; the empty directory is then
// shown and used as it is.
TEST_F(RunRemovalTest, AWindowsDirectoryTooLongForItsBufferLeavesItEmpty)
{
    Machine().windowsDirectory = "C:\\" + std::string(MAX_PATH, 'w');

    EXPECT_EQ(Run("y\n"), 0);

    const std::string& output = standin::TestConsoleOutput();
    EXPECT_NE(output.find(Crlf("Locating Windows... \n\n")), std::string::npos);
    EXPECT_NE(output.find(Crlf("  Delete \\system32\\velkor.sys: File Not Found.\n")), std::string::npos);
}

}  // namespace
