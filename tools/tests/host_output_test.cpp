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
    EXPECT_EQ(run.exitCode, EXIT_USAGE) << run.out;
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
    EXPECT_EQ(types.count("usage-error"), 2u) << "frobnicate, the number out of range";
    EXPECT_EQ(types.count("error"), 3u) << "remove 9, the driver's refusal and the wait's timeout";
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
        ASSERT_EQ(lines.size(), 2u) << arguments << ": the usage-error and the summary\n" << run.out;
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

// The last JSON line of a run, which must be its summary.
nlohmann::json Summary(const ToolRun& run)
{
    const std::vector<std::string> lines = Lines(run.out);
    if (lines.empty())
        return nullptr;
    nlohmann::json last = nlohmann::json::parse(lines.back(), nullptr, false);
    return last.is_object() && last.value("type", "") == "summary" ? last : nlohmann::json();
}

// One contract over every command's success and failure, in both encodings: the exit code says what
// went wrong (2 before 3 before 1); under --json every line parses, a usage-error appears exactly
// when the exit is 2, and the summary's "ok" is the exit's 0, with the verifier's verdict apart; in
// text the errors are on standard error.
TEST(HostToolOutput, ExitCodeAndJsonAgreeForEveryCommand)
{
    struct Case {
        const char* arguments;
        const char* input;
        int exitCode;
    };
    const Case cases[] = {
        {"--buses 1 version add 7 1 0 --wait list devices help remove 0 wait 0 gone quit", "", EXIT_OK},
        {"--buses 1", "add 7 1 0\nremove 0\n", EXIT_OK},
        {"--buses 1 remove 5", "", EXIT_COMMAND_FAILED},                         // not this session's reader
        {"--buses 1 remove 11223344:8899aabbccddeeff", "", EXIT_COMMAND_FAILED}, // the driver refuses it
        {"--buses 1 --timeout 50 wait 99", "", EXIT_COMMAND_FAILED},             // the wait runs out
        {"--buses 1 --timeout 50 wait 0 gone add 1 1 1 wait 0 gone", "", EXIT_COMMAND_FAILED},
        {"--buses 1 add 7 1 0 quit version", "", EXIT_COMMAND_FAILED}, // input after quit
        {"--buses 1 add 1 2", "", EXIT_USAGE},                         // nothing runs
        {"--buses 1", "add 7 1 0\nfrobnicate\nremove 5\n", EXIT_USAGE},
        {"--buses 0 version", "", EXIT_NO_DEVICE},
        {"--buses 0 --timeout 50 wait 0 list", "", EXIT_NO_DEVICE},
        {"--buses 0", "frobnicate\nadd 1 1 1\n", EXIT_USAGE},
    };
    for (const Case& command : cases) {
        const std::string name = std::string(command.arguments) + " <<< " + command.input;
        const ToolRun text = RunTool(command.arguments, command.input);
        EXPECT_EQ(text.exitCode, command.exitCode) << name << "\n" << text.out << text.err;
        EXPECT_EQ(text.err.empty(), command.exitCode == EXIT_OK) << name << "\n" << text.err;

        const ToolRun json = RunTool(std::string("--json ") + command.arguments, command.input);
        EXPECT_EQ(json.exitCode, command.exitCode) << name << "\n" << json.out;
        bool usageError = false, failed = false;
        for (const std::string& line : Lines(json.out)) {
            const nlohmann::json object = nlohmann::json::parse(line, nullptr, false);
            ASSERT_TRUE(object.is_object()) << name << ": " << line;
            usageError |= object["type"] == "usage-error";
            failed |= object.contains("ok") && object["ok"] == false && object["type"] != "summary";
        }
        EXPECT_EQ(usageError, command.exitCode == EXIT_USAGE) << name << "\n" << json.out;
        EXPECT_EQ(failed, command.exitCode != EXIT_OK) << name << "\n" << json.out;
        const nlohmann::json summary = Summary(json);
        ASSERT_TRUE(summary.is_object()) << name << "\n" << json.out;
        EXPECT_EQ(summary["ok"], command.exitCode == EXIT_OK) << name << "\n" << json.out;
        EXPECT_EQ(summary["exitCode"], command.exitCode) << name;
        // A command line not understood loads no driver, so has no verifier to ask.
        const bool loaded = std::string(command.arguments).find("add 1 2") == std::string::npos;
        ASSERT_EQ(summary.contains("verifier"), loaded) << name << "\n" << json.out;
        if (loaded)
            EXPECT_EQ(summary["verifier"]["ok"], true) << name << ": the verifier's verdict is its own";
    }
}

// Input echoed in errors is cut and made harmless: escape sequences, bidirectional overrides and bytes
// that are not UTF-8 are written out, never passed to the terminal, and every JSON line stays UTF-8.
TEST(HostToolOutput, ErrorsEchoInputSanitisedAndCut)
{
    const std::string hostile = "frob\xff\xc3(\x1b[31m\xe2\x80\xaenim";
    const std::string huge(1 << 20, 'x');
    const std::string input = hostile + "\nadd 1 2 " + huge + "\nadd 1 1 1 quit " + hostile + "\n";
    const ToolRun text = RunTool("--buses 1", input);
    EXPECT_EQ(text.exitCode, EXIT_USAGE);
    EXPECT_THAT(text.err, HasSubstr("unknown command 'frob\\xFF\\xC3(\\x1B[31m\\u202Enim'"));
    EXPECT_THAT(text.err, HasSubstr("input after quit is not run: frob\\xFF"));
    for (const char* raw : {"\x1b", "\xff", "\xe2\x80\xae"})
        EXPECT_THAT(text.err, Not(HasSubstr(raw)));
    EXPECT_THAT(text.err, HasSubstr("... (1048576 bytes)"));
    EXPECT_LT(text.err.size(), 1000u) << "the megabyte token is not echoed back whole";

    const ToolRun json = RunTool("--json --buses 1", input);
    EXPECT_EQ(json.exitCode, EXIT_USAGE);
    EXPECT_LT(json.out.size(), 10000u);
    for (const std::string& line : Lines(json.out))
        EXPECT_TRUE(nlohmann::json::accept(line)) << "not UTF-8 JSON: " << line;
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

// Ctrl+C in the middle of a wait: the wait ends, the tool exits within a second with 130, the
// readers of the session are removed and no command after the wait runs.
TEST(HostToolOutput, InterruptInsideAWaitStopsAtOnce)
{
    int output[2];
    ASSERT_EQ(pipe(output), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(output[1], STDOUT_FILENO);
        close(output[0]);
        execl(MSDSCCTL_HOST, MSDSCCTL_HOST, "--json", "--timeout", "60000", "add", "1", "1", "1", "wait", "99", "add",
              "2", "2", "2", "list", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(output[1]);
    std::string out;
    char buffer[4096];
    while (out.find("\"command\":\"add\"") == std::string::npos) {
        const ssize_t n = read(output[0], buffer, sizeof(buffer));
        ASSERT_GT(n, 0) << out;
        out.append(buffer, static_cast<size_t>(n));
    }
    usleep(200 * 1000); // well inside the wait for reader 99, which never comes
    ASSERT_EQ(kill(child, SIGINT), 0);
    // A guard, not a measure: the tool stops within a slice of the wait; the wait itself is a minute.
    int status = 0;
    pid_t ended = 0;
    for (int tenths = 0; tenths < 50 && (ended = waitpid(child, &status, WNOHANG)) == 0; ++tenths)
        usleep(100 * 1000);
    if (ended == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        FAIL() << "still running 5 s after Ctrl+C:\n" << out;
    }
    for (ssize_t n; (n = read(output[0], buffer, sizeof(buffer))) > 0;)
        out.append(buffer, static_cast<size_t>(n));
    close(output[0]);
    ASSERT_TRUE(WIFEXITED(status)) << out;
    EXPECT_EQ(WEXITSTATUS(status), EXIT_INTERRUPTED) << out;
    const std::vector<std::string> lines = Lines(out);
    ASSERT_FALSE(lines.empty());
    const nlohmann::json last = nlohmann::json::parse(lines.back());
    EXPECT_EQ(last["type"], "interrupted") << out;
    EXPECT_EQ(last["readersRemoved"], 1) << out;
    EXPECT_THAT(out, Not(HasSubstr("\"Number\":2"))) << "no add after the interrupted wait";
    EXPECT_THAT(out, Not(HasSubstr("\"command\":\"list\""))) << out;
    EXPECT_THAT(out, Not(HasSubstr("\"command\":\"wait\""))) << "the interrupted wait is no error of its own";
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
