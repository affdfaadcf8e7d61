// The host build's standard output and input with the Windows C runtime's rules, so that the
// host executable writes the same bytes as the Windows one:
// - text mode: each line end is written as CR LF; CR LF reads as one line end, a lone CR is
//   passed through, and Ctrl+Z (0x1A) ends the data of a read, for good unless the input is a
//   character device;
// - a character-device output gets each print whole before the print returns; a file or pipe
//   output is collected in a 4096-byte buffer written when full and at exit, not when reading;
// - input is buffered, so what one line read leaves of a line is what the next one gets.
#pragma once

#include <string>
#include <vector>

namespace standin {

// The bytes the runtime writes for text in text mode: each line end as CR LF.
std::string TextModeBytes(const std::string& text);

void ConsoleWrite(const std::string& text);
// fgets(buffer, readSize, stdin): false, with nothing stored, when the input ended or failed
// before the first character.
bool ConsoleReadLine(char* buffer, int readSize);
// What the runtime does to standard output when the process exits.
void ConsoleFlushAtExit();

// The process's real standard streams (file descriptors 0 and 1). This is the default.
void UseProcessConsole();

// In-memory streams for tests. When the input is a character device it hands over one typed line
// (up to and including its line feed) per low-level read, as a console does.
void UseTestConsole(const std::string& input, bool inputIsDevice, bool outputIsDevice);
// Bytes that have reached the output device so far.
const std::string& TestConsoleOutput();
// What had reached the output device each time the program had to wait for more input.
const std::vector<std::string>& TestConsoleOutputAtEachWait();

}  // namespace standin
