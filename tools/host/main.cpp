// msdscctl-host: the command-line tool's session run against the driver inside the simulated
// kernel, showing after every command what Plug and Play sees.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "../session/session.h"
#include "host_environment.h"

namespace {

const char USAGE[] =
    "usage: msdscctl-host [--buses N] [--json] [--image PATH] [COMMAND ...]\n"
    "Loads the driver into the simulated kernel, creates N root bus devices (default 1) and runs the\n"
    "commands on one open handle: from the arguments, or else from standard input, one or more per line.\n"
    "After each command it shows each bus and reader as Plug and Play sees them, with the four registry\n"
    "values of each started reader. The driver image defaults to the one built with this tool\n"
    "($MSDSCBUS_IMAGE overrides it).\n\n";

#ifndef MSDSCBUS_IMAGE
#define MSDSCBUS_IMAGE "msdscbus.so"
#endif

}  // namespace

int main(int argc, char** argv) {
    using namespace msdsc;
    bool json = false;
    unsigned buses = 1;
    std::string image = std::getenv("MSDSCBUS_IMAGE") ? std::getenv("MSDSCBUS_IMAGE") : MSDSCBUS_IMAGE;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--json") {
            json = true;
        } else if (argument == "--buses" || argument == "--image") {
            if (i + 1 == argc) {
                std::cerr << "msdscctl-host: " << argument << " needs a value\n" << USAGE;
                return tool::EXIT_USAGE;
            }
            const std::string value = argv[++i];
            uint32_t count = 0;
            if (argument == "--image") {
                image = value;
            } else if (!tool::ParseUnsigned32(value, &count) || count == 0 || count > 64) {
                std::cerr << "msdscctl-host: --buses takes a number from 1 to 64, not '" << value << "'\n";
                return tool::EXIT_USAGE;
            } else {
                buses = count;
            }
        } else if (argument == "--help" || argument == "-h") {
            std::cout << USAGE << tool::HelpText();
            return tool::EXIT_OK;
        } else {
            words.push_back(argument);
        }
    }
    std::vector<tool::Command> commands;
    std::string error;
    if (!tool::ParseCommands(words, &commands, &error)) {
        std::cerr << "msdscctl-host: " << error << "\n";
        return tool::EXIT_USAGE;
    }

    host::Environment machine;
    if (!machine.Load(image.c_str(), &error) || !machine.CreateBuses(buses, &error)) {
        std::cerr << "msdscctl-host: " << error << "\n";
        return tool::EXIT_NO_DEVICE;
    }
    if (!json)
        std::cout << "loaded " << image << " into the simulated kernel; " << buses
                  << (buses == 1 ? " bus device" : " bus devices") << " created\n";

    tool::Session session(std::cout, json);
    // In text a view that did not change is not repeated, so the changes stand out.
    std::string lastView;
    session.afterCommand = [&] {
        machine.Settle();
        std::ostringstream view;
        host::PrintView(machine.View(), view, json);
        if (!json && view.str() == lastView) {
            std::cout << "  plug and play sees: no change\n";
            return;
        }
        lastView = view.str();
        std::cout << lastView;
    };
    if (!session.Open()) return tool::EXIT_NO_DEVICE;
    if (words.empty()) {
        if (isatty(STDIN_FILENO) && !json) session.prompt = "msdscctl-host> ";
        session.RunLines(std::cin);
    }
    else
        session.RunAll(commands);
    session.Close();

    int exitCode = session.ExitCode();
    const std::vector<std::string> violations = machine.Violations();
    if (json) {
        std::cout << "{\"driverPoolBlocks\":" << machine.DriverPoolBlocks() << ",\"violations\":[";
        for (size_t i = 0; i < violations.size(); ++i) std::cout << (i ? "," : "") << tool::JsonString(violations[i]);
        std::cout << "]}\n";
    } else {
        std::cout << "driver pool outstanding: " << machine.DriverPoolBlocks() << " block(s)";
        const std::string byTag = machine.DriverPoolByTag();
        if (!byTag.empty()) std::cout << " (" << byTag << ")";
        std::cout << "\n";
        for (const std::string& violation : violations) std::cout << "VERIFIER VIOLATION " << violation << "\n";
    }
    if (!violations.empty()) exitCode = tool::EXIT_COMMAND_FAILED;
    return exitCode;
}
