// The command session shared by the Windows tool and its host build: parses the commands, runs
// them through the client library on one held handle, and prints each result as text or JSON.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>  // std::lock_guard

#include "client_lock.h"
#include <iosfwd>
#include <string>
#include <vector>

#include "msdscclient.h"

namespace msdsc::tool {

enum class CommandKind { Version, Add, Remove, List, Quit, Help };

struct Command {
    CommandKind kind = CommandKind::Help;
    uint32_t number = 0, drive = 0, log = 0;  // add
    // remove: either the number this session gave the reader, or a handle typed out in full
    unsigned readerId = 0;
    bool fullHandle = false;
    MsdscReaderHandle handle{};
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
// A handle typed out in full: its 16 bytes in hexadecimal, in order, a ':' after the eighth.
bool ParseFullHandle(const std::string& text, MsdscReaderHandle* handle);
std::string FormatHandle(const MsdscReaderHandle& handle);
std::string FormatStatus(MsdscStatus status);  // "0xC0000184"
std::string JsonString(const std::string& text);  // quoted and escaped

const char* HelpText();

class Session {
public:
    Session(std::ostream& out, bool json);
    ~Session();  // closes the client if it is still open
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

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
    // Ctrl+C: closes the handle from another thread, between two requests, and says so. False when
    // nothing was open any more.
    bool Interrupt();
    bool IsOpen();

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
        uint32_t number, drive, log;
        MsdscReaderHandle handle;
        bool removed;
    };
    const std::vector<Reader>& Readers() const { return m_Readers; }

private:
    void Failure(const char* command, MsdscStatus status, const char* message);
    // Runs one request on the open client, under the client's mutex.
    MsdscStatus Call(const std::function<MsdscStatus(MsdscClient*)>& request, const char** message);
    void UsageFailure(const std::string& message);
    void After();

    // Null once closed. Requests hold the mutex, so Interrupt closes between two of them and no
    // request starts on a client that is gone.
    ClientLock m_ClientMutex;
    MsdscClient* m_Client = nullptr;
    std::ostream& m_Out;
    bool m_Json;
    bool m_Failed = false;
    unsigned m_NextId = 1;
    std::vector<Reader> m_Readers;
};

}  // namespace msdsc::tool
