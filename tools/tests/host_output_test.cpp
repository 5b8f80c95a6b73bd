// What the host tool prints, run as a program: every --json line typed and parseable, errors
// included; output that grows with what the commands did, not with how many readers exist; --quiet;
// input after quit reported; Ctrl+C closing the handle with its own exit code.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "session.h"

namespace msdsc::tool {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

struct ToolRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// The tool with `arguments`, standard input from a file of `input`, standard output captured.
ToolRun RunTool(const std::string& arguments, const std::string& input)
{
    char path[] = "/tmp/msdscctl-input.XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        return {};
    const ssize_t written = write(fd, input.data(), input.size());
    close(fd);
    ToolRun run;
    if (written != static_cast<ssize_t>(input.size()))
        return run;
    const std::string errors = std::string(path) + ".err";
    FILE* pipe = popen((std::string(MSDSCCTL_HOST) + " " + arguments + " <" + path + " 2>" + errors).c_str(), "r");
    if (pipe) {
        char buffer[65536];
        for (size_t n; (n = fread(buffer, 1, sizeof(buffer), pipe)) > 0;)
            run.out.append(buffer, n);
        const int status = pclose(pipe);
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::ifstream err(errors);
    run.err.assign(std::istreambuf_iterator<char>(err), std::istreambuf_iterator<char>());
    unlink(path);
    unlink(errors.c_str());
    return run;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

TEST(HostToolOutput, EveryJsonLineOfASessionWithErrorsParsesAndCarriesAType)
{
    const ToolRun run = RunTool("--json --buses 2 --timeout 50",
                                "version\n"
                                "add 7 1 0 --wait\n"
                                "add 8 2 0\n"
                                "frobnicate\n"                       // unknown command
                                "add 1 2 0x1FFFFFFFF\n"              // a number out of range
                                "remove 9\n"                         // no such reader of the session
                                "remove 11223344:8899aabbccddeeff\n" // the driver refuses it
                                "wait 99\n"                          // times out
                                "devices\n"
                                "list\n"
                                "help\n"
                                "remove 1 Quit add 9 9 9\n"
                                "list\n");
    EXPECT_EQ(run.exitCode, EXIT_COMMAND_FAILED) << run.out;
    EXPECT_EQ(run.err, "") << "under --json every line goes to standard output";
    std::multiset<std::string> types;
    std::set<std::string> replies;
    for (const std::string& line : Lines(run.out)) {
        nlohmann::json object;
        ASSERT_NO_THROW(object = nlohmann::json::parse(line)) << line;
        ASSERT_TRUE(object.is_object()) << line;
        ASSERT_TRUE(object.contains("type") && object["type"].is_string()) << line;
        const std::string type = object["type"];
        types.insert(type);
        // Whatever answers a command names it, as typed, and says whether it went well.
        if (type == "reply" || type == "error" || type == "usage-error" || type == "ignored") {
            ASSERT_TRUE(object.contains("command") && object["command"].is_string()) << line;
            ASSERT_TRUE(object.contains("ok") && object["ok"].is_boolean()) << line;
            EXPECT_EQ(object["ok"].get<bool>(), type == "reply") << line;
            if (type == "reply")
                replies.insert(object["command"].get<std::string>());
        }
    }
    EXPECT_EQ(types.count("machine"), 1u);
    EXPECT_EQ(types.count("summary"), 1u);
    EXPECT_EQ(types.count("usage-error"), 3u) << "frobnicate, the number out of range, remove 9";
    EXPECT_EQ(types.count("error"), 2u) << "the driver's refusal and the wait's timeout";
    EXPECT_EQ(types.count("ignored"), 2u) << "'add 9 9 9' after quit, and the line after it";
    EXPECT_GE(types.count("pnp"), 4u) << "two buses, two readers started, removed";
    // The close after quit answers the quit, as it was typed.
    EXPECT_EQ(replies, (std::set<std::string>{"open", "version", "add", "devices", "list", "help", "remove", "Quit"}));
}

TEST(HostToolOutput, CommandLineUsageErrorsAreJsonLinesToo)
{
    for (const char* arguments : {"--json --buses 65 version", "--json add 1 2", "--json --timeout"}) {
        const ToolRun run = RunTool(arguments, "");
        EXPECT_EQ(run.exitCode, EXIT_USAGE) << arguments;
        const std::vector<std::string> lines = Lines(run.out);
        ASSERT_EQ(lines.size(), 1u) << arguments << ":\n" << run.out;
        const nlohmann::json object = nlohmann::json::parse(lines[0]);
        EXPECT_EQ(object["type"], "usage-error") << lines[0];
        EXPECT_TRUE(object["command"].is_string()) << lines[0];
        EXPECT_EQ(object["ok"], false) << lines[0];
    }
}

// Counted, not timed: the output of a session of N adds is a fixed part plus the same few lines for
// each add, whatever the number of readers already there (it used to print every reader again after
// each command).
TEST(HostToolOutput, OutputOfAddsIsLinearInTheAdds)
{
    auto session = [](unsigned adds) {
        std::string input;
        for (unsigned i = 0; i < adds; ++i)
            input += "add " + std::to_string(i) + " 1 0\n";
        return RunTool("--buses 2", input);
    };
    // As many adds as the driver holds readers at once (MAX_READERS in msdscbus.h).
    constexpr unsigned MAX_READERS = 256;
    const ToolRun one = session(1), two = session(2), most = session(MAX_READERS);
    ASSERT_EQ(most.exitCode, EXIT_OK) << most.out.substr(0, 2000);
    const size_t perAdd = Lines(two.out).size() - Lines(one.out).size();
    const size_t fixed = Lines(one.out).size() - perAdd;
    EXPECT_EQ(perAdd, 3u) << "the add, its reader started, its reader removed at the close";
    EXPECT_EQ(Lines(most.out).size(), fixed + MAX_READERS * perAdd);
    // Bytes too: each line names one reader, so only the digits of the numbers grow.
    const size_t bytesPerAdd = two.out.size() - one.out.size();
    EXPECT_LT(most.out.size(), one.out.size() + MAX_READERS * (bytesPerAdd + 3 * 6));
}

// Text mode: what was asked for on standard output, errors on standard error.
TEST(HostToolOutput, QuietPrintsWhatWasAskedForAndErrorsOnly)
{
    const ToolRun run = RunTool("--quiet --buses 2 version add 7 1 0 list remove 5 quit", "");
    EXPECT_EQ(run.exitCode, EXIT_COMMAND_FAILED);
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 3u) << run.out;
    EXPECT_EQ(lines[0], "driver version 1.2.0.134");
    EXPECT_EQ(lines[1], "1 reader added by this session");
    EXPECT_THAT(lines[2], HasSubstr("  reader 0: Number=7, Drive=1, Log=0, handle "));
    EXPECT_EQ(run.err, "error: remove: this session added no reader 5\n");
}

// The pool line reads like a leak report to anyone who does not know the driver keeps its bus
// registry and each bus's list between sessions: it is there on request only.
TEST(HostToolOutput, DriverPoolOnlyWithDebug)
{
    const ToolRun plain = RunTool("--buses 1 add 1 2 3", "");
    EXPECT_EQ(plain.exitCode, EXIT_OK) << plain.out;
    EXPECT_THAT(plain.out, Not(HasSubstr("pool")));
    const ToolRun debug = RunTool("--debug --buses 1 add 1 2 3", "");
    EXPECT_THAT(debug.out, HasSubstr("driver pool held: "));
    const ToolRun json = RunTool("--json --buses 1 add 1 2 3", "");
    EXPECT_THAT(json.out, Not(HasSubstr("driverPoolBlocks")));
}

TEST(HostToolOutput, ArgumentsAfterQuitAreReportedNotRun)
{
    const ToolRun run = RunTool("add 7 1 0 quit add 8 1 0 version", "");
    EXPECT_EQ(run.exitCode, EXIT_COMMAND_FAILED) << run.out;
    EXPECT_THAT(run.err, HasSubstr("error: input after quit is not run: add 8 1 0\n"));
    EXPECT_THAT(run.err, HasSubstr("error: input after quit is not run: version\n"));
    EXPECT_THAT(run.out, Not(HasSubstr("driver version")));
}

// Ctrl+C, or SIGTERM, while the tool reads its input: it closes the handle, says which of the two
// ended it, and exits with the code of that one.
TEST(HostToolOutput, InterruptAndTerminationCloseTheHandleAndSaySo)
{
    struct Case {
        int signal;
        int exitCode;
        const char* type;
    };
    for (const Case& ending :
         {Case{SIGINT, EXIT_INTERRUPTED, "interrupted"}, Case{SIGTERM, EXIT_TERMINATED, "terminated"}}) {
        int input[2], output[2];
        ASSERT_EQ(pipe(input), 0);
        ASSERT_EQ(pipe(output), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            dup2(input[0], STDIN_FILENO);
            dup2(output[1], STDOUT_FILENO);
            close(input[1]);
            close(output[0]);
            execl(MSDSCCTL_HOST, MSDSCCTL_HOST, "--json", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(input[0]);
        close(output[1]);
        const std::string add = "add 7 1 0 --wait\n";
        ASSERT_EQ(write(input[1], add.data(), add.size()), static_cast<ssize_t>(add.size()));
        // Read until the add has been answered; the tool then waits for more input.
        std::string out;
        char buffer[4096];
        while (out.find("\"command\":\"add\"") == std::string::npos) {
            const ssize_t n = read(output[0], buffer, sizeof(buffer));
            ASSERT_GT(n, 0) << out;
            out.append(buffer, static_cast<size_t>(n));
        }
        ASSERT_EQ(kill(child, ending.signal), 0);
        for (ssize_t n; (n = read(output[0], buffer, sizeof(buffer))) > 0;)
            out.append(buffer, static_cast<size_t>(n));
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        close(input[1]);
        close(output[0]);
        ASSERT_TRUE(WIFEXITED(status)) << out;
        EXPECT_EQ(WEXITSTATUS(status), ending.exitCode) << out;
        const std::vector<std::string> lines = Lines(out);
        ASSERT_FALSE(lines.empty());
        const nlohmann::json last = nlohmann::json::parse(lines.back());
        EXPECT_EQ(last["type"], ending.type);
        EXPECT_EQ(last["ok"], false);
        EXPECT_THAT(last["message"].get<std::string>(), HasSubstr("closed the control device"));
    }
}

// devices and wait look at Plug and Play only: with no bus device they say so, and nothing opens
// the control device.
TEST(HostToolOutput, DevicesAndWaitWithoutABusDevice)
{
    const ToolRun devices = RunTool("--buses 0 devices", "");
    EXPECT_EQ(devices.exitCode, EXIT_OK) << devices.out << devices.err;
    EXPECT_THAT(devices.out, HasSubstr("no bus device installed\n0 reader device nodes\n"));
    EXPECT_THAT(devices.out, Not(HasSubstr("opened the control device")));
    const ToolRun wait = RunTool("--buses 0 --timeout 60000 wait 0", "");
    EXPECT_EQ(wait.exitCode, EXIT_NO_DEVICE) << wait.out << wait.err;
    EXPECT_THAT(wait.err, HasSubstr("error: wait: no bus device installed"));
    const ToolRun version = RunTool("--buses 0 version devices", "");
    EXPECT_EQ(version.exitCode, EXIT_NO_DEVICE);
    EXPECT_THAT(version.err, HasSubstr("error: open: no bus device is installed"));
    EXPECT_THAT(version.out, HasSubstr("0 reader device nodes")) << "the rest of the session still runs";
}

} // namespace
} // namespace msdsc::tool
