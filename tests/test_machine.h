// Shared set-up for the host tests: a fresh simulated machine and console per test, and a
// readable picture of the machine to compare before and after.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>

#include "console.h"
#include "machine.h"
#include "machine_file.h"
#include "removal.h"

namespace testing_support {

// The bytes the C runtime writes for text: every line end becomes CR LF (the translation itself
// is checked byte for byte in console_standin_test.cpp).
inline std::string Crlf(const std::string& text)
{
    return standin::TextModeBytes(text);
}

// Everything a removal could change, one fact a line.
inline std::string Describe(const standin::Machine& machine)
{
    std::ostringstream out;
    standin::WriteMachineDescription(out, machine);
    return out.str();
}

// A fresh machine, an output device that shows each print at once, and an empty Windows
// directory buffer, as at program start.
class MachineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        standin::TheMachine() = standin::Machine{};
        standin::UseTestConsole("", false, true);
        std::memset(WindowsDirectory, 0, sizeof WindowsDirectory);
    }

    static standin::Machine& Machine() { return standin::TheMachine(); }
    static const std::string& Printed() { return standin::TestConsoleOutput(); }

    static void ExpectNoHandleLeft()
    {
        EXPECT_TRUE(Machine().openHandles.empty()) << Machine().openHandles.size() << " handle(s) left open";
        EXPECT_TRUE(Machine().openKeys.empty()) << Machine().openKeys.size() << " key(s) left open";
        EXPECT_EQ(Machine().invalidCloses, 0);
        EXPECT_EQ(Machine().linksFollowed, 0);
    }
};

}  // namespace testing_support
