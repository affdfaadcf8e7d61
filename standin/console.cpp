#include "console.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace standin {

namespace {

constexpr char CarriageReturn = '\r';
constexpr char LineFeed = '\n';
constexpr char CtrlZ = '\x1a';
constexpr std::size_t StreamBufferSize = 4096;

struct Console {
    bool useProcessStreams = true;
    bool inputIsDevice = false;
    bool outputIsDevice = false;

    // Low-level input: raw bytes not yet handed over, and whether a Ctrl+Z ended it for good.
    std::string testInput;
    std::string::size_type testInputPosition = 0;
    bool hasPeekedByte = false;
    char peekedByte = 0;
    bool endedByCtrlZ = false;

    // The input stream's buffer of translated characters.
    std::string inputBuffer;
    std::string::size_type inputPosition = 0;

    // The output stream's buffer, untranslated, for a file or pipe.
    std::string outputBuffer;

    std::string testOutput;
    std::vector<std::string> testOutputAtEachWait;
};

Console ProcessConsole()
{
    Console console;
    console.inputIsDevice = isatty(STDIN_FILENO) == 1;
    console.outputIsDevice = isatty(STDOUT_FILENO) == 1;
    return console;
}

// Never destroyed: the runtime writes out standard output after static objects are gone.
Console& TheConsole()
{
    static Console* const console = [] {
        // Should registration fail, output to a file or pipe would be lost, as it would be with the runtime.
        static_cast<void>(std::atexit(ConsoleFlushAtExit));
        return new Console(ProcessConsole());
    }();
    return *console;
}

void WriteToDevice(Console& console, const std::string& text)
{
    const std::string translated = TextModeBytes(text);
    if (!console.useProcessStreams) {
        console.testOutput += translated;
        return;
    }
    for (std::size_t written = 0; written < translated.size();) {
        const ssize_t result = write(STDOUT_FILENO, translated.data() + written, translated.size() - written);
        if (result <= 0) {
            return;
        }
        written += static_cast<std::size_t>(result);
    }
}

// One raw read from the source: a device gives one typed line, a file or pipe what it has.
std::string ReadRaw(Console& console)
{
    if (!console.useProcessStreams) {
        console.testOutputAtEachWait.push_back(console.testOutput);
        const std::string& input = console.testInput;
        std::string::size_type end = input.size();
        if (console.inputIsDevice) {
            const std::string::size_type lineFeed = input.find(LineFeed, console.testInputPosition);
            end = lineFeed == std::string::npos ? input.size() : lineFeed + 1;
        }
        std::string chunk = input.substr(console.testInputPosition, end - console.testInputPosition);
        console.testInputPosition = end;
        return chunk;
    }
    char buffer[StreamBufferSize];
    const ssize_t result = read(STDIN_FILENO, buffer, sizeof buffer);
    return result > 0 ? std::string(buffer, static_cast<std::size_t>(result)) : std::string();
}

// The next raw byte after a chunk that ended in CR, to tell CR LF from a lone CR; zero at the
// end of input. The byte stays pending for the next read.
char PeekRawByte(Console& console)
{
    if (!console.hasPeekedByte) {
        if (!console.useProcessStreams) {
            if (console.testInputPosition >= console.testInput.size()) {
                return 0;
            }
            console.peekedByte = console.testInput[console.testInputPosition++];
        } else if (read(STDIN_FILENO, &console.peekedByte, 1) != 1) {
            return 0;
        }
        console.hasPeekedByte = true;
    }
    return console.peekedByte;
}

// The runtime's low-level text-mode read: the translated characters of one raw read, empty at
// the end of input.
std::string ReadTranslated(Console& console)
{
    if (console.endedByCtrlZ) {
        return {};
    }
    std::string raw;
    if (console.hasPeekedByte) {
        raw += console.peekedByte;
        console.hasPeekedByte = false;
    }
    raw += ReadRaw(console);

    std::string translated;
    for (std::string::size_type index = 0; index < raw.size(); ++index) {
        const char character = raw[index];
        if (character == CtrlZ) {
            if (!console.inputIsDevice) {
                console.endedByCtrlZ = true;
            }
            break;
        }
        if (character != CarriageReturn) {
            translated += character;
            continue;
        }
        const bool nextIsInChunk = index + 1 < raw.size();
        const char next = nextIsInChunk ? raw[index + 1] : PeekRawByte(console);
        if (next != LineFeed) {
            translated += CarriageReturn;
            continue;
        }
        translated += LineFeed;
        if (nextIsInChunk) {
            ++index;
        } else {
            console.hasPeekedByte = false;
        }
    }
    return translated;
}

// getc(stdin): the next character, or -1 at the end of input.
int NextCharacter(Console& console)
{
    if (console.inputPosition == console.inputBuffer.size()) {
        console.inputBuffer = ReadTranslated(console);
        console.inputPosition = 0;
        if (console.inputBuffer.empty()) {
            return -1;
        }
    }
    return static_cast<unsigned char>(console.inputBuffer[console.inputPosition++]);
}

}  // namespace

std::string TextModeBytes(const std::string& text)
{
    std::string bytes;
    for (const char character : text) {
        if (character == LineFeed) {
            bytes += CarriageReturn;
        }
        bytes += character;
    }
    return bytes;
}

void ConsoleWrite(const std::string& text)
{
    Console& console = TheConsole();
    if (console.outputIsDevice) {
        WriteToDevice(console, text);
        return;
    }
    for (const char character : text) {
        console.outputBuffer += character;
        if (console.outputBuffer.size() == StreamBufferSize) {
            WriteToDevice(console, console.outputBuffer);
            console.outputBuffer.clear();
        }
    }
}

bool ConsoleReadLine(char* buffer, int readSize)
{
    Console& console = TheConsole();
    int stored = 0;
    while (stored < readSize - 1) {
        const int character = NextCharacter(console);
        if (character < 0) {
            break;
        }
        buffer[stored++] = static_cast<char>(character);
        if (character == LineFeed) {
            break;
        }
    }
    if (stored == 0) {
        return false;
    }
    buffer[stored] = '\0';
    return true;
}

void ConsoleFlushAtExit()
{
    Console& console = TheConsole();
    WriteToDevice(console, console.outputBuffer);
    console.outputBuffer.clear();
}

void UseProcessConsole()
{
    TheConsole() = ProcessConsole();
}

void UseTestConsole(const std::string& input, bool inputIsDevice, bool outputIsDevice)
{
    Console& console = TheConsole();
    console = Console{};
    console.useProcessStreams = false;
    console.testInput = input;
    console.inputIsDevice = inputIsDevice;
    console.outputIsDevice = outputIsDevice;
}

const std::string& TestConsoleOutput()
{
    return TheConsole().testOutput;
}

const std::vector<std::string>& TestConsoleOutputAtEachWait()
{
    return TheConsole().testOutputAtEachWait;
}

}  // namespace standin
