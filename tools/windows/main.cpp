// msdscctl: the Windows command-line tool. Holds the driver's control device for a session of
// commands, and installs or uninstalls the root bus device.
#include <io.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "../session/session.h"
#include "device_install.h"
#include "system_library.h"
#include "windows_helpers.h"

namespace {

using namespace msdsc;

const char USAGE[] =
    "usage: msdscctl [OPTIONS] [COMMAND ...]     run commands on one open handle (none given: read stdin)\n"
    "       msdscctl [--json] install [INF]      create the bus device and install the driver\n"
    "                                            (INF defaults to msdscbus.inf next to this program),\n"
    "                                            then check that the driver loaded (up to --timeout)\n"
    "       msdscctl [--json] uninstall          remove every bus device\n"
    "       msdscctl [--json] purge              remove the device nodes of readers no longer present\n"
    "options: --json (one JSON object per line, each with a \"type\"), --quiet (only what was asked for,\n"
    "and errors), --timeout MS (how long 'add --wait' and 'wait' wait, default 10000)\n"
    "Readers live as long as the session: quitting, end of input or Ctrl+C closes the handle and the\n"
    "driver removes them. Exit codes: 0 ok, 1 a command failed or input after quit was not run, 2 usage,\n"
    "3 no control device or no bus device (after install: the driver did not load), 130 interrupted by\n"
    "Ctrl+C (the handle was closed), 143 ended by the console closing, logoff or shutdown (the same),\n"
    "3010 done but Windows must restart.\n"
    "'devices' and 'wait' need no session: they work while another process holds the control device.\n\n";

const int EXIT_RESTART_NEEDED = 3010;

// The console's Ctrl+C and close events arrive on a thread of their own; the session closes its
// client between two requests and says so, then the process ends with the documented code (the
// default handler would end it with STATUS_CONTROL_C_EXIT).
tool::Session* g_Session = nullptr;

BOOL WINAPI OnConsoleControl(DWORD event)
{
    // Ctrl+C and Ctrl+Break are the user's interrupt; the console closing, logoff and shutdown ask
    // the process to end, as SIGTERM does elsewhere.
    const bool interrupt = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
    if (!g_Session || !g_Session->Interrupt(interrupt ? tool::Ending::Interrupt : tool::Ending::Termination))
        return FALSE;
    std::fflush(stdout);
    ExitProcess(interrupt ? tool::EXIT_INTERRUPTED : tool::EXIT_TERMINATED);
}

int Usage(bool json, const std::string& command, const std::string& message, bool showUsage)
{
    return tool::CommandLineError("msdscctl", USAGE, json, command, message, showUsage);
}

std::wstring DefaultInfPath()
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return L"msdscbus.inf";
    std::wstring folder(path, length);
    const size_t slash = folder.find_last_of(L"\\/");
    return (slash == std::wstring::npos ? std::wstring() : folder.substr(0, slash + 1)) + L"msdscbus.inf";
}

int Report(const char* command, const windows::InstallOutcome& outcome, bool json)
{
    if (json) {
        tool::Json line(outcome.ok ? "reply" : "error");
        line.Add("command", command)
            .Add("ok", outcome.ok)
            .Add("devices", uint64_t{outcome.devices})
            .Add("restartNeeded", outcome.restartNeeded)
            .Add("step", outcome.step);
        if (outcome.error)
            line.Add("error", uint64_t{outcome.error}).Add("message", windows::ErrorText(outcome.error));
        if (!outcome.advice.empty())
            line.Add("advice", outcome.advice);
        std::cout << line.Line();
    } else if (outcome.ok) {
        std::cout << command << ": " << outcome.step << "\n";
        if (outcome.restartNeeded)
            std::cout << command << ": Windows must restart to finish\n";
        if (!outcome.advice.empty())
            std::cout << command << ": " << outcome.advice << "\n";
    } else if (outcome.error) {
        std::cerr << command << ": could not " << outcome.step << ": " << windows::ErrorText(outcome.error) << "\n";
        if (!outcome.advice.empty())
            std::cerr << command << ": " << outcome.advice << "\n";
    } else {
        std::cerr << command << ": " << outcome.step << "\n";
        if (!outcome.advice.empty())
            std::cerr << command << ": " << outcome.advice << "\n";
    }
    if (!outcome.ok)
        return outcome.error ? tool::EXIT_COMMAND_FAILED : tool::EXIT_NO_DEVICE;
    return outcome.restartNeeded ? EXIT_RESTART_NEEDED : tool::EXIT_OK;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    // Before anything can load a DLL by name: the tool's folder may be one anyone can write to.
    windows::RestrictDllSearchToSystem32();
    tool::OutputOptions output;
    uint32_t timeout = tool::DEFAULT_WAIT_MS;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i)
        output.json |= Utf8(argv[i]) == "--json";
    for (int i = 1; i < argc; ++i) {
        const std::string argument = Utf8(argv[i]);
        if (argument == "--json") {
        } else if (argument == "--quiet") {
            output.quiet = true;
        } else if (argument == "--timeout") {
            if (i + 1 == argc || !tool::ParseUnsigned32(Utf8(argv[i + 1]), &timeout))
                return Usage(output.json, argument, "--timeout takes milliseconds", false);
            ++i;
        } else if (argument == "--help" || argument == "-h" || argument == "/?") {
            std::cout << USAGE << tool::HelpText();
            return tool::EXIT_OK;
        } else if (words.empty() && argument == "install") {
            if (i + 2 < argc)
                return Usage(output.json, argument, "install takes at most one argument, the INF's path", false);
            const std::wstring inf = i + 1 < argc ? std::wstring(argv[i + 1]) : DefaultInfPath();
            return Report("install", windows::CheckDriverLoaded(windows::InstallBusDevice(inf), timeout), output.json);
        } else if (words.empty() && (argument == "uninstall" || argument == "purge")) {
            if (i + 1 < argc)
                return Usage(output.json, argument, argument + " takes no argument", false);
            return argument == "purge" ? Report("purge", windows::PurgeReaderDevices(), output.json)
                                       : Report("uninstall", windows::UninstallBusDevices(), output.json);
        } else {
            words.push_back(argument);
        }
    }
    std::vector<tool::Command> commands;
    std::string error, name;
    if (!tool::ParseCommands(words, &commands, &error, &name))
        return Usage(output.json, name, error, !output.json);

    tool::Session session(std::cout, output, &std::cerr);
    session.SetWaitTimeout(timeout);
    g_Session = &session;
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    if (words.empty())
        session.RunInput(std::cin, _isatty(_fileno(stdin)) != 0, "msdscctl> ");
    else
        session.RunAll(commands);
    session.Close();
    return session.ExitCode();
}
