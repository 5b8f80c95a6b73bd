// The command session shared by the Windows tool and its host build: parses the commands, runs
// them through the client library on one held handle, and prints each result as text or JSON.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "msdscclient.h"

namespace msdsc::tool {

enum class CommandKind { Version, Add, Remove, List, Quit, Help };

struct Command {
    CommandKind kind = CommandKind::Help;
    ReaderConfig config{};          // add
    // remove: either the number this session gave the reader, or a handle typed out in full
    unsigned readerId = 0;
    bool fullHandle = false;
    BusReaderHandle handle{};
    std::string text;               // the command as typed, for messages
};

// Exit codes of both tools.
enum ExitCode : int {
    EXIT_OK = 0,
    EXIT_COMMAND_FAILED = 1,  // at least one command failed; the others ran
    EXIT_USAGE = 2,           // the command line could not be understood; nothing ran
    EXIT_NO_DEVICE = 3,       // the control device could not be opened
};

// Splits a line into words; '#' starts a comment that runs to the end of the line.
std::vector<std::string> SplitWords(const std::string& line);

// Parses the command starting at words[*position] and moves *position past it. On failure
// *error says what is wrong and *position is unspecified.
bool ParseCommand(const std::vector<std::string>& words, size_t* position, Command* command, std::string* error);
// Every command of a word list; false with *error at the first one that does not parse.
bool ParseCommands(const std::vector<std::string>& words, std::vector<Command>* commands, std::string* error);

// Numbers of the command line: decimal or 0x-prefixed hexadecimal, unsigned 32-bit.
bool ParseUnsigned32(const std::string& text, uint32_t* value);
// A handle typed out in full: "BUS:READER", each 64-bit value in hexadecimal (0x optional).
bool ParseFullHandle(const std::string& text, BusReaderHandle* handle);
std::string FormatHandle(const BusReaderHandle& handle);
std::string FormatStatus(NTSTATUS status);  // "0xC0000184"
std::string JsonString(const std::string& text);  // quoted and escaped

const char* HelpText();

class Session {
public:
    Session(ControlClient& client, std::ostream& out, bool json);

    // Opens the control device; prints why when it cannot.
    bool Open();
    // Runs one command; false once the session should end (quit).
    bool Execute(const Command& command);
    // Runs a parsed list (the command line's commands); stops after quit.
    void RunAll(const std::vector<Command>& commands);
    // Reads and runs lines until quit or end of input. A line that does not parse is reported and
    // counts as a failed command; the session goes on.
    void RunLines(std::istream& in);
    // Closes the handle, which removes every reader this session added, and says so.
    void Close();

    // Called after every command (and after the close), for a caller that shows more: the host
    // tool prints what Plug and Play sees.
    std::function<void()> afterCommand;
    // Printed before each line is read, for a person typing at a terminal; empty for none.
    std::string prompt;

    int ExitCode() const { return m_Failed ? EXIT_COMMAND_FAILED : EXIT_OK; }
    bool Json() const { return m_Json; }
    std::ostream& Out() { return m_Out; }

    struct Reader {
        unsigned id;
        ReaderConfig config;
        BusReaderHandle handle;
        bool removed;
    };
    const std::vector<Reader>& Readers() const { return m_Readers; }

private:
    void Failure(const char* command, MsdscOperation operation, NTSTATUS status);
    void UsageFailure(const std::string& message);
    void After();

    ControlClient& m_Client;
    std::ostream& m_Out;
    bool m_Json;
    bool m_Failed = false;
    unsigned m_NextId = 1;
    std::vector<Reader> m_Readers;
};

}  // namespace msdsc::tool
