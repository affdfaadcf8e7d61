// The host build's console must write and read what the Windows C runtime does, or the host
// executable's transcripts would not be the Windows executable's.

#include <gtest/gtest.h>

#include "console.h"

namespace {

std::string ReadLine(int readSize = 7)
{
    char buffer[8] = {};
    return standin::ConsoleReadLine(buffer, readSize) ? std::string(buffer) : std::string("<nothing>");
}

TEST(ConsoleStandIn, TextModeInputTranslatesCrLfAndPassesALoneCr)
{
    standin::UseTestConsole("yes\r\ny\rx\nab\r", false, false);
    EXPECT_EQ(ReadLine(), "yes\n");
    EXPECT_EQ(ReadLine(), "y\rx\n");
    EXPECT_EQ(ReadLine(), "ab\r");
    EXPECT_EQ(ReadLine(), "<nothing>");
}

TEST(ConsoleStandIn, CtrlZEndsAPipeForGoodButAConsoleOnlyForThatRead)
{
    standin::UseTestConsole("ye\x1as\nmore\n", false, false);
    EXPECT_EQ(ReadLine(), "ye");
    EXPECT_EQ(ReadLine(), "<nothing>");

    standin::UseTestConsole("\x1a\nmore\n", true, true);
    EXPECT_EQ(ReadLine(), "<nothing>");
    EXPECT_EQ(ReadLine(), "more\n");
}

TEST(ConsoleStandIn, APipeOutputIsWrittenWhenItsBufferFillsAndAtExit)
{
    standin::UseTestConsole("", false, false);
    standin::ConsoleWrite(std::string(4095, 'a') + "\n" + "tail\n");
    EXPECT_EQ(standin::TestConsoleOutput(), std::string(4095, 'a') + "\r\n");

    standin::ConsoleFlushAtExit();
    EXPECT_EQ(standin::TestConsoleOutput(), std::string(4095, 'a') + "\r\ntail\r\n");
}

}  // namespace
