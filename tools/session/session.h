// The command session shared by the Windows tool and its host build: runs the commands through the
// client library on one held client, and prints each result as text or as JSON lines.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "msdscclient.h"
#include "portable.h"

namespace msdsc::tool {

// Exit codes of both tools (docs/windows.md states the contract). When several things went wrong
// the first of 2, 3, 1 in that order is the exit: a usage-error line always comes with 2.
enum ExitCode : int {
    EXIT_OK = 0,
    EXIT_COMMAND_FAILED = 1, // a request failed, or input after quit was not run; the others ran
    EXIT_USAGE = 2,          // a command could not be understood (on the command line: nothing ran)
    EXIT_NO_DEVICE = 3,      // the control device could not be opened, or no bus device is installed
};
#if defined(_WIN32)
// The console's own status for a process that Ctrl+C, Ctrl+Break or the console's closing ended
// (STATUS_CONTROL_C_EXIT, what the default handler exits with): cmd.exe and PowerShell know it, and
// Windows has no signal numbers to add to 128.
inline constexpr int EXIT_INTERRUPTED = static_cast<int>(0xC000013Au);
inline constexpr int EXIT_TERMINATED = EXIT_INTERRUPTED;
#else
inline constexpr int EXIT_INTERRUPTED = 130; // 128 + SIGINT, as shells report it
inline constexpr int EXIT_TERMINATED = 143;  // 128 + SIGTERM
#endif

struct OutputOptions {
    bool json = false;  // one JSON object per line, each with a "type"
    bool quiet = false; // only what was asked for (version, list, devices) and errors
};

// How long `add --wait` and `wait` wait by default.
inline constexpr uint32_t DEFAULT_WAIT_MS = 10000;
// The longest a wait goes without looking whether the session is being stopped.
inline constexpr uint32_t WAIT_SLICE_MS = 100;

// How a session was ended from outside.
enum class Ending { Interrupt, Termination };

class Session
{
public:
    // Errors go to `errors` in text mode (standard error for the tools); null sends them to `out`.
    // Under --json every line goes to `out`, so that one stream carries the whole session.
    Session(std::ostream& out, OutputOptions options, std::ostream* errors = nullptr);
    ~Session(); // closes the client if it is still open
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Opens the control device unless it is open; prints why when it cannot. The commands that need
    // it call this themselves, so `devices` and `wait` run without it (while another process holds
    // the session, or with no bus device installed).
    bool Open();
    // Runs one command; false once the session should end (quit).
    bool Execute(const Command& command);
    // Runs a parsed list (the command line's commands); what follows a quit is reported, not run.
    void RunAll(const std::vector<Command>& commands);
    // Reads and runs lines until quit or end of input. A line that does not parse is reported and
    // counts as a failed command; the session goes on. After a quit the rest of its line is
    // reported, and with drainAfterQuit so is every further line of the input.
    void RunLines(std::istream& in);
    // The tools' standard input: a prompt for a person at a terminal (text mode only); from a file
    // or a pipe, what follows a quit is read to the end and reported.
    void RunInput(std::istream& in, bool terminal, const std::string& terminalPrompt);
    // Closes the handle, if one is open, which removes every reader this session added, and says so.
    void Close();
    // Ctrl+C or a termination request, from another thread: stops the session at its next step (a
    // wait within WAIT_SLICE_MS), closes the handle, so the driver removes the readers, and says so;
    // no command runs after it. False when the session was being stopped already.
    bool Interrupt(Ending ending = Ending::Interrupt);
    bool Stopping() const { return m_Ending.load() != 0; }
    // Returns once an Interrupt has said what it did.
    void AwaitStop() const;
    bool IsOpen();

    void SetWaitTimeout(uint32_t milliseconds) { m_WaitMs = milliseconds; }

    // A line of the tool's own (what it loaded, what Plug and Play changed), left out by --quiet;
    // `json` is the same as a JSON object line.
    void Note(const std::string& text, const Json& json) { Note(text, json.Object()); }
    void Note(const std::string& text, const std::string& jsonObject);
    // A usage error the tool found itself, reported like the session's own.
    void UsageFailure(const std::string& command, const std::string& message);

    // Called after every command (and after the close), for a caller that shows more: the host
    // tool prints what Plug and Play changed.
    std::function<void()> afterCommand;
    // Printed before each line is read, for a person typing at a terminal; empty for none.
    std::string prompt;
    // After quit, read the input to its end and report what it held (not for a terminal).
    bool drainAfterQuit = false;

    int ExitCode() const;
    // Under --json the session's last line: "ok" true only for exit 0, the exit code, and
    // `verifierJson` (an object, for the host tool's simulated kernel) as "verifier" when given.
    void Summary(int exitCode, const std::string& verifierJson = "");
    const OutputOptions& Options() const { return m_Options; }
    std::ostream& Out() { return m_Out; }

    // A reader this session added. The user knows it by its reader number, which the driver gives
    // it, Plug and Play shows as its instance ID, and its handle carries.
    struct Reader {
        uint32_t readerNumber;
        uint32_t number, drive, log;
        MsdscReaderHandle handle;
        bool removed;
    };
    const std::vector<Reader>& Readers() const { return m_Readers; }

private:
    void Failure(const std::string& command, MsdscStatus status, const char* message, const std::string& detail = "");
    // A request the tool refuses itself, before the driver sees it: a failed command, not a usage error.
    void Refusal(const std::string& command, const std::string& message);
    // Runs one command under the step lock; false when the session ends (quit, or stopping).
    bool Step(const Command& command);
    // A wait by the library in slices, so that a stop is seen within WAIT_SLICE_MS;
    // STATUS_CANCELLED when the session is stopping.
    MsdscStatus WaitInSlices(const std::function<MsdscStatus(uint32_t sliceMs)>& wait);
    void Ignored(const std::string& text);
    void After();
    std::ostream& Errors() { return m_Options.json ? m_Out : m_Errors; }
    // Runs one request on the open client, under the client's lock.
    MsdscStatus Call(const std::function<MsdscStatus(MsdscClient*)>& request, const char** message);

    void DoVersion(const Command& command);
    void DoAdd(const Command& command);
    void DoRemove(const Command& command);
    void DoList(const Command& command);
    void DoDevices(const Command& command);
    void DoWait(const Command& command);
    MsdscStatus ListDevices(std::vector<MsdscReaderDevice>* devices, const char** message);

    std::ostream& m_Out;
    std::ostream& m_Errors;
    OutputOptions m_Options;
    bool m_Failed = false;
    bool m_Usage = false;
    bool m_NoDevice = false;
    // 0 while running, else 1 + Ending: set once, by Interrupt.
    std::atomic<int> m_Ending{0};
    std::atomic<bool> m_StopSaid{false};
    // Held while a command runs (not while input is read): Interrupt takes it, so it closes the
    // client between two commands and nothing the tool prints comes after its own line.
    ClientLock m_StepLock;
    uint32_t m_WaitMs = DEFAULT_WAIT_MS;
    std::vector<Reader> m_Readers;
    // The quit command as typed, which the close that follows answers.
    std::string m_QuitName = "close";
    // Null while closed. Requests hold the lock, never a wait: no request starts on a client that is gone.
    ClientLock m_ClientLock;
    MsdscClient* m_Client = nullptr;
};

// A tool's command-line error, before any session runs: "<program>: <message>" on standard error,
// the usage after it when asked, or a usage-error line on standard output under --json.
int CommandLineError(const char* program, const char* usage, bool json, const std::string& command,
                     const std::string& message, bool showUsage);

} // namespace msdsc::tool
