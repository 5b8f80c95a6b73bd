// msdscctl-host: the command-line tool's session run against the driver inside the simulated
// kernel, showing after every command what it changed in Plug and Play.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "machine.h"
#include "session.h"
#include "view_changes.h"

namespace {

using namespace msdsc;

const char USAGE[] =
    "usage: msdscctl-host [--buses N] [--json] [--quiet] [--debug] [--timeout MS] [--image PATH] [COMMAND ...]\n"
    "Loads the driver into the simulated kernel, creates N root bus devices (default 1, 0 for none) and\n"
    "runs the commands on one open handle: from the arguments, or else from standard input, one or more\n"
    "per line; 'devices' and 'wait' need no handle, so the control device is opened by the first command\n"
    "that does.\n"
    "After each command it shows what Plug and Play changed: devices that appeared, started or went,\n"
    "with the four registry values of each started reader. --json prints one JSON object per line, each\n"
    "with a \"type\"; --quiet only what was asked for and errors; --timeout how long 'add --wait' and\n"
    "'wait' wait (default 10000 ms); --debug adds, at the end, the pool blocks the driver still holds\n"
    "(its registry of buses and the buses' own records: a steady number, not a leak). The driver image\n"
    "defaults to the one built with this tool ($MSDSCBUS_IMAGE overrides it).\n"
    "Exit codes: 0 ok, 1 a request failed, input after quit or a verifier violation, 2 a command not\n"
    "understood, 3 the driver, the control device or a bus device is not there (2 before 3 before 1),\n"
    "130 interrupted (Ctrl+C closed the handle), 143 terminated (SIGTERM closed the handle).\n\n";

#ifndef MSDSCBUS_IMAGE
#define MSDSCBUS_IMAGE "msdscbus.so"
#endif

int Usage(bool json, const std::string& command, const std::string& message, bool showUsage)
{
    return tool::CommandLineError("msdscctl-host", USAGE, json, command, message, showUsage);
}

// Ctrl+C (SIGINT) and SIGTERM are taken by a thread of their own with sigwait, outside any signal
// handler, so it can close the client the normal way: the driver's cleanup then removes the readers.
void WatchForInterrupt(tool::Session& session, const sigset_t& signals)
{
    std::thread([&session, signals] {
        int signal = 0;
        if (sigwait(&signals, &signal) != 0)
            return;
        session.Interrupt(signal == SIGTERM ? tool::Ending::Termination : tool::Ending::Interrupt);
        session.AwaitStop();
        std::cout.flush();
        std::_Exit(session.ExitCode());
    }).detach();
}

} // namespace

int main(int argc, char** argv)
{
    // Blocked before any thread starts, so every thread inherits it and only the watcher takes them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    tool::OutputOptions output;
    bool debug = false;
    unsigned buses = 1;
    uint32_t timeout = tool::DEFAULT_WAIT_MS;
    std::string image = std::getenv("MSDSCBUS_IMAGE") ? std::getenv("MSDSCBUS_IMAGE") : MSDSCBUS_IMAGE;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i)
        output.json |= std::strcmp(argv[i], "--json") == 0;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--json") {
        } else if (argument == "--quiet") {
            output.quiet = true;
        } else if (argument == "--debug") {
            debug = true;
        } else if (argument == "--buses" || argument == "--image" || argument == "--timeout") {
            if (i + 1 == argc)
                return Usage(output.json, argument, argument + " needs a value", true);
            const std::string value = argv[++i];
            uint32_t number = 0;
            if (argument == "--image") {
                image = value;
            } else if (argument == "--timeout") {
                if (!tool::ParseUnsigned32(value, &number))
                    return Usage(output.json, argument,
                                 "--timeout takes milliseconds, not '" + tool::Sanitized(value) + "'", false);
                timeout = number;
            } else if (!tool::ParseUnsigned32(value, &number) || number > machine::MAX_BUSES) {
                return Usage(output.json, argument,
                             "--buses takes a number from 0 to " + std::to_string(machine::MAX_BUSES) + ", not '" +
                                 tool::Sanitized(value) + "'",
                             false);
            } else {
                buses = number;
            }
        } else if (argument == "--help" || argument == "-h") {
            std::cout << USAGE << tool::HelpText();
            return tool::EXIT_OK;
        } else {
            words.push_back(argument);
        }
    }
    std::vector<tool::Command> commands;
    std::string error, name;
    if (!tool::ParseCommands(words, &commands, &error, &name))
        return Usage(output.json, name, error, false);

    machine::Machine machine;
    tool::Session session(std::cout, output, &std::cerr);
    session.SetWaitTimeout(timeout);
    if (!machine.Load(image.c_str(), &error) || !machine.CreateBuses(buses, &error)) {
        if (output.json) {
            std::cout << tool::Json("error").Add("command", "load").Add("ok", false).Add("message", error).Line();
            session.Summary(tool::EXIT_NO_DEVICE);
        } else
            std::cerr << "msdscctl-host: " << error << "\n";
        return tool::EXIT_NO_DEVICE;
    }
    session.Note("loaded " + image + " into the simulated kernel; " + std::to_string(buses) +
                     (buses == 1 ? " bus device" : " bus devices") + " created",
                 tool::Json("machine").Add("image", image).Add("buses", uint64_t{buses}));

    std::vector<machine::BusView> lastView;
    session.afterCommand = [&] {
        machine.Settle();
        std::vector<machine::BusView> view = machine.View(&lastView);
        for (const auto& [text, json] : tool::ViewChanges(lastView, view))
            session.Note(text, json);
        lastView = std::move(view);
    };
    WatchForInterrupt(session, signals);
    if (words.empty())
        session.RunInput(std::cin, isatty(STDIN_FILENO), "msdscctl-host> ");
    else
        session.RunAll(commands);
    session.Close();
    if (session.Stopping()) {
        // The watcher says what happened and ends the process; the summary is not for an interrupted run.
        session.AwaitStop();
        std::cout.flush();
        std::_Exit(session.ExitCode());
    }

    int exitCode = session.ExitCode();
    const std::vector<std::string> violations = machine.Violations();
    // The pool the driver holds between sessions (its bus registry, each bus's list) is steady, not a
    // leak; it is shown on request, and with violations, where it helps to read them.
    const bool showPool = debug || !violations.empty();
    // A violation fails a run whose commands all went well; its own verdict stands apart.
    if (!violations.empty() && exitCode == tool::EXIT_OK)
        exitCode = tool::EXIT_COMMAND_FAILED;
    if (output.json) {
        std::string list;
        for (const std::string& violation : violations)
            list += (list.empty() ? "" : ",") + tool::JsonString(violation);
        tool::Json verifier(nullptr);
        verifier.Add("ok", violations.empty());
        if (showPool)
            verifier.Add("driverPoolBlocks", uint64_t{machine.DriverPoolBlocks()});
        session.Summary(exitCode, verifier.Raw("violations", "[" + list + "]").Object());
    } else {
        if (showPool) {
            std::cout << "driver pool held: " << machine.DriverPoolBlocks() << " block(s)";
            const std::string byTag = machine.DriverPoolByTag();
            if (!byTag.empty())
                std::cout << " (" << byTag << ")";
            std::cout << "\n";
        }
        for (const std::string& violation : violations)
            std::cout << "VERIFIER VIOLATION " << violation << "\n";
    }
    return exitCode;
}
