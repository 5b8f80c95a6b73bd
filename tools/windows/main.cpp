// msdscctl: the Windows command-line tool. Holds the driver's control device for a session of
// commands, and installs or uninstalls the root bus device.
#include <io.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "../session/session.h"
#include "device_install.h"

namespace {

using namespace msdsc;

const char USAGE[] =
    "usage: msdscctl [--json] [COMMAND ...]     run commands on one open handle (none given: read stdin)\n"
    "       msdscctl [--json] install [INF]     create the bus device and install the driver\n"
    "                                           (INF defaults to msdscbus.inf next to this program)\n"
    "       msdscctl [--json] uninstall         remove every bus device\n"
    "Readers live as long as the session: quitting, end of input or Ctrl+C closes the handle and the\n"
    "driver removes them. Exit codes: 0 ok, 1 a command failed, 2 usage, 3 no control device or no\n"
    "bus device, 3010 done but Windows must restart.\n\n";

const int EXIT_RESTART_NEEDED = 3010;

// The console's Ctrl+C and close events arrive on a thread of their own; the session closes its
// client exactly once, between two requests, whichever thread closes first.
tool::Session* g_Session = nullptr;

BOOL WINAPI OnConsoleControl(DWORD event) {
    (void)event;
    if (g_Session && g_Session->Interrupt())
        std::fputs("\nmsdscctl: interrupted; closed the control device, the driver removes the readers\n", stderr);
    return FALSE;  // the default handler ends the process
}

std::string Utf8(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return std::string();
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &result[0], size, nullptr, nullptr);
    result.resize(static_cast<size_t>(size) - 1);
    return result;
}

std::wstring DefaultInfPath() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return L"msdscbus.inf";
    std::wstring folder(path, length);
    const size_t slash = folder.find_last_of(L"\\/");
    return (slash == std::wstring::npos ? std::wstring() : folder.substr(0, slash + 1)) + L"msdscbus.inf";
}

int Report(const char* command, const windows::InstallOutcome& outcome, bool json) {
    if (json) {
        std::cout << "{\"command\":" << tool::JsonString(command) << ",\"ok\":" << (outcome.ok ? "true" : "false")
                  << ",\"devices\":" << outcome.devices << ",\"restartNeeded\":" << (outcome.restartNeeded ? "true" : "false")
                  << ",\"step\":" << tool::JsonString(outcome.step);
        if (outcome.error)
            std::cout << ",\"error\":" << outcome.error << ",\"message\":" << tool::JsonString(windows::ErrorText(outcome.error));
        if (!outcome.advice.empty()) std::cout << ",\"advice\":" << tool::JsonString(outcome.advice);
        std::cout << "}\n";
    } else if (outcome.ok) {
        std::cout << command << ": " << outcome.step << "\n";
        if (outcome.restartNeeded) std::cout << command << ": Windows must restart to finish\n";
        if (!outcome.advice.empty()) std::cout << command << ": " << outcome.advice << "\n";
    } else if (outcome.error) {
        std::cerr << command << ": could not " << outcome.step << ": " << windows::ErrorText(outcome.error) << "\n";
        if (!outcome.advice.empty()) std::cerr << command << ": " << outcome.advice << "\n";
    } else {
        std::cerr << command << ": " << outcome.step << "\n";
    }
    if (!outcome.ok) return outcome.error ? tool::EXIT_COMMAND_FAILED : tool::EXIT_NO_DEVICE;
    return outcome.restartNeeded ? EXIT_RESTART_NEEDED : tool::EXIT_OK;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    bool json = false;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = Utf8(argv[i]);
        if (argument == "--json") {
            json = true;
        } else if (argument == "--help" || argument == "-h" || argument == "/?") {
            std::cout << USAGE << tool::HelpText();
            return tool::EXIT_OK;
        } else if (words.empty() && argument == "install") {
            if (i + 2 < argc) {
                std::cerr << "msdscctl: install takes at most one argument, the INF's path\n";
                return tool::EXIT_USAGE;
            }
            const std::wstring inf = i + 1 < argc ? std::wstring(argv[i + 1]) : DefaultInfPath();
            return Report("install", windows::InstallBusDevice(inf), json);
        } else if (words.empty() && argument == "uninstall") {
            if (i + 1 < argc) {
                std::cerr << "msdscctl: uninstall takes no argument\n";
                return tool::EXIT_USAGE;
            }
            return Report("uninstall", windows::UninstallBusDevices(), json);
        } else {
            words.push_back(argument);
        }
    }
    std::vector<tool::Command> commands;
    std::string error;
    if (!tool::ParseCommands(words, &commands, &error)) {
        std::cerr << "msdscctl: " << error << "\n" << USAGE;
        return tool::EXIT_USAGE;
    }

    tool::Session session(std::cout, json);
    g_Session = &session;
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    if (!session.Open()) return tool::EXIT_NO_DEVICE;
    if (words.empty()) {
        if (_isatty(_fileno(stdin)) && !json) session.prompt = "msdscctl> ";
        session.RunLines(std::cin);
    }
    else
        session.RunAll(commands);
    session.Close();
    return session.ExitCode();
}
