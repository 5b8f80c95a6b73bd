// The host tool's battery verb, run as a program: the exit-code contract (a failed scenario is a
// failed request), one JSON line per scenario, the JUnit file a CI server reads, and Ctrl+C in the
// middle of a storm.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "session.h"

namespace msdsc::tool {
namespace {

using ::testing::HasSubstr;

struct ToolRun {
    int exitCode = -1;
    std::string out;
};

ToolRun RunTool(const std::string& arguments)
{
    ToolRun run;
    FILE* pipe = popen((std::string(MSDSCCTL_HOST) + " " + arguments + " 2>/dev/null </dev/null").c_str(), "r");
    if (!pipe)
        return run;
    char buffer[65536];
    for (size_t n; (n = fread(buffer, 1, sizeof(buffer), pipe)) > 0;)
        run.out.append(buffer, n);
    const int status = pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<nlohmann::json> Scenarios(const std::string& out)
{
    std::vector<nlohmann::json> scenarios;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        const nlohmann::json json = nlohmann::json::parse(line);
        if (json["type"] == "scenario")
            scenarios.push_back(json);
    }
    return scenarios;
}

// A driver that vetoes every query-remove: the scenario that removes with no handle open fails with
// the driver's veto as its evidence, the tool exits 1, and the JUnit file says which test failed.
TEST(BatteryVerb, AFailedScenarioIsAFailedRequestInJsonAndJunit)
{
    const std::string junit = "/tmp/msdsc-battery-" + std::to_string(getpid()) + ".xml";
    const ToolRun run =
        RunTool(std::string("--json --buses 2 --reader-driver ") + MSDSCSAMPLE_FAULTS_IMAGE +
                " --reader-service msdscsample-veto-query-remove battery --scenarios arrival,5 --junit " + junit);
    EXPECT_EQ(run.exitCode, EXIT_COMMAND_FAILED) << run.out;
    const std::vector<nlohmann::json> scenarios = Scenarios(run.out);
    ASSERT_EQ(scenarios.size(), 2u) << run.out;
    EXPECT_EQ(scenarios[0]["name"], "arrival");
    EXPECT_EQ(scenarios[0]["verdict"], "passed");
    EXPECT_EQ(scenarios[1]["name"], "query-remove");
    EXPECT_EQ(scenarios[1]["verdict"], "failed");
    EXPECT_EQ(scenarios[1]["ok"], false);
    EXPECT_THAT(scenarios[1]["reason"].get<std::string>(),
                HasSubstr("veto Device by MicroSDSmartCardBus\\MicroSDSmartCardReader\\"));

    // The table a person reads: the row carries the whole reason, the evidence follows on its own lines.
    const ToolRun text = RunTool(std::string("--buses 2 --reader-driver ") + MSDSCSAMPLE_FAULTS_IMAGE +
                                 " --reader-service msdscsample-veto-query-remove battery --scenarios 5");
    EXPECT_EQ(text.exitCode, EXIT_COMMAND_FAILED) << text.out;
    EXPECT_THAT(text.out,
                ::testing::ContainsRegex("\n  5  query-remove +failed +[0-9.]+ ms  query-remove of reader 0 "
                                         "with no handle open was refused: veto Device by [^\n]*[(]0xC0000001[)]\n"
                                         "evidence of 5 query-remove:\n"));

    const std::string xml = ReadFile(junit);
    unlink(junit.c_str());
    EXPECT_THAT(xml, HasSubstr("<testsuite name=\"battery\" tests=\"2\" failures=\"1\" errors=\"0\" skipped=\"0\""));
    EXPECT_THAT(xml, HasSubstr("<testcase classname=\"battery\" name=\"5 query-remove\""));
    EXPECT_THAT(xml, HasSubstr("<failure message=\"query-remove of reader 0 with no handle open was refused: veto "
                               "Device"));
}

// A scenario the battery does not have is a command not understood (2), and nothing runs.
TEST(BatteryVerb, AScenarioNameThatNamesNoneIsNotUnderstood)
{
    const ToolRun run = RunTool("--json battery --scenarios arrival,nine");
    EXPECT_EQ(run.exitCode, EXIT_USAGE) << run.out;
    EXPECT_THAT(run.out, HasSubstr("{\"type\":\"usage-error\",\"command\":\"battery\",\"ok\":false,"
                                   "\"message\":\"battery: no scenario 'nine'\"}"));
    EXPECT_TRUE(Scenarios(run.out).empty()) << run.out;
}

// Ctrl+C during the storm ends the run at once: the tool says so and exits 130 (that the stopped
// battery leaves no reader is battery_test's).
TEST(BatteryVerb, CtrlCInTheStormEndsTheRunAtOnce)
{
    int output[2], errors[2];
    ASSERT_EQ(pipe(output), 0);
    ASSERT_EQ(pipe(errors), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(output[1], STDOUT_FILENO);
        dup2(errors[1], STDERR_FILENO);
        close(output[0]);
        close(errors[0]);
        execl(MSDSCCTL_HOST, MSDSCCTL_HOST, "--json", "battery", "--scenarios", "storm", "--cycles", "1000000",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(output[1]);
    close(errors[1]);
    std::string progress;
    char buffer[4096];
    while (progress.find("cycle 1 of") == std::string::npos) {
        const ssize_t n = read(errors[0], buffer, sizeof(buffer));
        ASSERT_GT(n, 0) << progress;
        progress.append(buffer, static_cast<size_t>(n));
    }
    ASSERT_EQ(kill(child, SIGINT), 0);
    std::string out;
    for (ssize_t n; (n = read(output[0], buffer, sizeof(buffer))) > 0;)
        out.append(buffer, static_cast<size_t>(n));
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    close(output[0]);
    close(errors[0]);
    ASSERT_TRUE(WIFEXITED(status)) << out;
    EXPECT_EQ(WEXITSTATUS(status), EXIT_INTERRUPTED) << out;
    EXPECT_THAT(out, HasSubstr("\"type\":\"interrupted\""));
}

} // namespace
} // namespace msdsc::tool
