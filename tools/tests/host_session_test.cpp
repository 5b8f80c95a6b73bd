// The tool's session against the driver image in the simulated kernel: what a user types, what the
// tool prints, what Plug and Play sees after each command; and the host tool run as a program.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <atomic>
#include <cstdio>
#include <regex>
#include <thread>
#include <sstream>

#include <ntddk.h>

#include "machine_test.h"
#include "msdscbus.h"
#include "msdscnames.h"
#include "session.h"
#include "simkernel/pnp.h"
#include "view_changes.h"

namespace msdsc::tool {
namespace {

// The readers' hardware ID as a regular expression matches it: in text, and in JSON, where each of
// its backslashes is doubled.
const std::string READER_ID = std::regex_replace(MSDSC_READER_HARDWARE_ID, std::regex(R"(\\)"), R"(\\)");
const std::string READER_ID_IN_JSON = std::regex_replace(MSDSC_READER_HARDWARE_ID, std::regex(R"(\\)"), R"(\\\\)");

using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

class HostSession : public machine::MachineTest
{
protected:
    // Runs a typed session to its end, with Plug and Play's view after every command.
    std::string Run(const std::string& input, bool json, std::vector<std::vector<machine::BusView>>* views = nullptr)
    {
        std::ostringstream out;
        Session session(out, OutputOptions{json, false});
        session.drainAfterQuit = true;
        session.SetWaitTimeout(m_WaitMs);
        session.afterCommand = [&] {
            m_Machine.Settle();
            if (views)
                views->push_back(m_Machine.View());
        };
        EXPECT_TRUE(session.Open()) << out.str();
        std::istringstream in(input);
        session.RunLines(in);
        session.Close();
        m_ExitCode = session.ExitCode();
        return out.str();
    }

    int m_ExitCode = -1;
    uint32_t m_WaitMs = 2000;
};

TEST_F(HostSession, TypedSessionOnTwoBuses)
{
    std::vector<std::vector<machine::BusView>> views;
    const std::string out = Run("version\n"
                                "add 7 1 0\n"
                                "add 8 2 1   # lands on the second bus\n"
                                "list\n"
                                "remove 0\n"
                                "remove 0\n"
                                "frobnicate\n"
                                "list quit\n"
                                "add 9 9 9\n",
                                false, &views);
    EXPECT_THAT(out, HasSubstr("driver version 1.2.0.134\n"));
    // A reader is known by one number, its reader number: the handle's reader half shows it too,
    // below the generation (the first and second reader made in this load).
    EXPECT_THAT(out, ContainsRegex("added reader 0 \\(Number=7, Drive=1, Log=0\\), handle [0-9a-f]{16}:0{7}10{8}\n"));
    EXPECT_THAT(out, ContainsRegex("added reader 1 \\(Number=8, Drive=2, Log=1\\), handle [0-9a-f]{16}:0{7}20{7}1\n"));
    EXPECT_THAT(out, HasSubstr("2 readers added by this session"));
    EXPECT_THAT(out, HasSubstr("removed reader 0, handle"));
    EXPECT_THAT(out, ContainsRegex("error: remove: no such reader.*\\(status 0xC0000001\\)"));
    EXPECT_THAT(out, HasSubstr("error: unknown command 'frobnicate'"));
    EXPECT_THAT(out, HasSubstr("1 reader added by this session\n  reader 1: Number=8"));
    EXPECT_THAT(out, HasSubstr("removes the 1 reader still added"));
    EXPECT_THAT(out, Not(HasSubstr("Number=9"))) << "nothing runs after quit";
    EXPECT_THAT(out, HasSubstr("error: input after quit is not run: add 9 9 9\n"));
    EXPECT_EQ(m_ExitCode, EXIT_USAGE) << "the line not understood decides over the failed requests";

    // version (which opened), add, add, list, remove, remove, the bad line, list, close
    ASSERT_EQ(views.size(), 9u);
    const std::vector<machine::BusView>& afterAdds = views[2];
    ASSERT_EQ(afterAdds.size(), 2u);
    ASSERT_EQ(afterAdds[0].readers.size(), 1u);
    ASSERT_EQ(afterAdds[1].readers.size(), 1u);
    const machine::ReaderView& second = afterAdds[1].readers[0];
    EXPECT_THAT(second.instancePath, ContainsRegex("^" + READER_ID + "\\\\[0-9a-f]+&[0-9a-f]+&[0-9a-f]+&[0-9]+$"));
    EXPECT_EQ(second.state, "Started");
    EXPECT_EQ(second.values[0], 8u);
    EXPECT_EQ(second.values[1], 2u);
    EXPECT_EQ(second.values[2], 1u);
    EXPECT_EQ(second.values[3], 1u);

    EXPECT_TRUE(views[4][0].readers.empty()) << "reader 0 should be gone once Plug and Play settled";
    EXPECT_EQ(views[4][1].readers.size(), 1u);
    for (const machine::BusView& bus : views.back()) {
        EXPECT_EQ(bus.state, "Started");
        EXPECT_TRUE(bus.readers.empty()) << bus.instancePath << " kept a reader after the close";
    }
}

TEST_F(HostSession, JsonSessionPrintsOneObjectPerLine)
{
    const std::string out = Run("version\nadd 7 1 0\nremove 0:0\nlist\n", true);
    std::istringstream lines(out);
    std::vector<std::string> objects;
    for (std::string line; std::getline(lines, line);) {
        ASSERT_FALSE(line.empty());
        EXPECT_EQ(line.front(), '{') << line;
        EXPECT_EQ(line.back(), '}') << line;
        objects.push_back(line);
    }
    ASSERT_EQ(objects.size(), 6u) << out;
    EXPECT_EQ(objects[0], "{\"type\":\"reply\",\"command\":\"open\",\"ok\":true}");
    EXPECT_EQ(objects[1], "{\"type\":\"reply\",\"command\":\"version\",\"ok\":true,\"version\":\"1.2.0.134\"}");
    EXPECT_THAT(objects[2], ContainsRegex("^\\{\"type\":\"reply\",\"command\":\"add\",\"ok\":true,\"readerNumber\":0,"
                                          "\"config\":\\{\"Number\":7,\"Drive\":1,\"Log\":0\\},"
                                          "\"handle\":\"[0-9a-f]{16}:0{7}10{8}\"\\}$"));
    EXPECT_EQ(objects[3],
              "{\"type\":\"error\",\"command\":\"remove\",\"ok\":false,\"status\":\"0xC0000001\",\"message\":\"" +
                  std::string(MsdscStatusMessage(MsdscOperationRemoveReader, STATUS_UNSUCCESSFUL)) + "\"}");
    EXPECT_THAT(objects[4], HasSubstr("\"readers\":[{\"type\":\"reader\",\"readerNumber\":0,"));
    EXPECT_EQ(objects[5], "{\"type\":\"reply\",\"command\":\"close\",\"ok\":true,\"readersRemoved\":1}");
}

TEST_F(HostSession, RemovingByFullHandleIsRemovingThatReader)
{
    std::ostringstream out;
    Session session(out, OutputOptions{});
    session.prompt = "> ";
    ASSERT_TRUE(session.Open());
    std::istringstream first("add 1 1 1\nadd 2 2 2\n");
    session.RunLines(first);
    ASSERT_EQ(session.Readers().size(), 2u);
    const std::string typed = FormatHandle(session.Readers()[1].handle);

    std::istringstream second("remove " + typed + "\nlist\n");
    session.RunLines(second);
    EXPECT_TRUE(session.Readers()[1].removed);
    EXPECT_FALSE(session.Readers()[0].removed);
    EXPECT_THAT(out.str(), HasSubstr("removed reader 1, handle " + typed));
    EXPECT_THAT(out.str(), HasSubstr("1 reader added by this session\n  reader 0:"));
    // One prompt per line read, and one more for the end of each input.
    size_t prompts = 0;
    for (size_t at = out.str().find("> "); at != std::string::npos; at = out.str().find("> ", at + 1))
        ++prompts;
    EXPECT_EQ(prompts, 6u);
    session.Close();
    EXPECT_EQ(session.ExitCode(), EXIT_OK);
}

TEST_F(HostSession, PlugAndPlayChangesInBothEncodings)
{
    const std::vector<machine::BusView> before = m_Machine.View();
    MsdscClient* client = nullptr;
    ASSERT_EQ(MsdscOpen(&client, nullptr), STATUS_SUCCESS);
    MsdscReaderHandle handle{};
    ASSERT_EQ(MsdscAddReader(client, 5, 6, 7, &handle, nullptr), STATUS_SUCCESS);
    m_Machine.Settle();
    const std::vector<machine::BusView> after = m_Machine.View();

    // One line for the reader that appeared; nothing for the buses, which did not change.
    const auto changes = ViewChanges(before, after);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_THAT(changes[0].first, ContainsRegex("^  plug and play: " + READER_ID +
                                                "\\\\[0-9a-f&]+"
                                                "  Started  Number=5  Drive=6  Log=7  Exists=1$"));
    EXPECT_THAT(changes[0].second,
                ContainsRegex("^\\{\"type\":\"pnp\",\"instance\":\"" + READER_ID_IN_JSON +
                              "\\\\\\\\[0-9a-f&]+\",\"bus\":\"ROOT\\\\\\\\MicroSDSmartCardBus"
                              "\\\\\\\\000[01]\",\"state\":\"Started\",\"values\":\\{\"Number\":5,\"Drive\":6,"
                              "\"Log\":7,\"Exists\":1\\}\\}$"));
    EXPECT_TRUE(ViewChanges(after, after).empty());

    ASSERT_EQ(MsdscClose(client, nullptr), STATUS_SUCCESS);
    m_Machine.Settle();
    const auto gone = ViewChanges(after, m_Machine.View());
    ASSERT_EQ(gone.size(), 1u);
    EXPECT_THAT(gone[0].first, HasSubstr("  Removed"));
    EXPECT_THAT(gone[0].second, HasSubstr("\"state\":\"Removed\""));
}

// The device view through the session: add --wait follows the reader its handle names, devices
// shows every node with its state, wait follows a reader number to started or gone.
TEST_F(HostSession, AddWaitDevicesAndWait)
{
    const std::string out = Run("add 7 1 0 --wait\n"
                                "add 8 2 0\n"
                                "add 9 3 0 --wait\n"
                                "list\n"
                                "remove 1\n"
                                "wait 1 gone\n"
                                "devices\n"
                                "wait 0\n"
                                "wait 77\n",
                                false);
    // Reader numbers come from the driver in the order it creates readers: 0, 1, 2. The instance
    // path ends in the number; Windows may put a prefix of the parent's before it.
    const std::string reader = READER_ID + "\\\\([^ )\\\\]*&)?";
    EXPECT_THAT(out, ContainsRegex("added reader 0 \\(Number=7, Drive=1, Log=0\\), handle [0-9a-f:]+, started \\(" +
                                   reader + "0\\)\n"));
    EXPECT_THAT(out, ContainsRegex("added reader 2 \\(Number=9, Drive=3, Log=0\\), handle [0-9a-f:]+, started \\(" +
                                   reader + "2\\)\n"));
    EXPECT_THAT(out, HasSubstr("reader 1 is gone\n"));
    EXPECT_THAT(out, ContainsRegex("3 reader device nodes\n"
                                   "  reader 0  " +
                                   reader +
                                   "0  started  driver ChildFunction  \\(this session's\\)\n"
                                   "  reader 1  " +
                                   reader +
                                   "1  not present\n"
                                   "  reader 2  " +
                                   reader + "2  started  driver ChildFunction  \\(this session's\\)\n"));
    EXPECT_THAT(out, ContainsRegex("reader 0 is started \\(" + reader + "0\\)\n"));
    EXPECT_THAT(out, HasSubstr("error: wait: timed out: the reader's device node did not reach that state in time "
                               "(status 0xC00000B5); reader 77 is unknown\n"));
    EXPECT_EQ(m_ExitCode, EXIT_COMMAND_FAILED);
}

// Ctrl+C from another thread while a command waits: the wait ends, the readers the session added
// leave Plug and Play, and nothing after the wait runs.
TEST_F(HostSession, InterruptInsideAWaitRemovesTheReadersAndRunsNothingAfter)
{
    std::vector<Command> commands;
    std::string error;
    ASSERT_TRUE(ParseCommands(SplitWords("add 1 1 1 --wait wait 99 add 2 2 2 list"), &commands, &error)) << error;
    std::ostringstream out;
    Session session(out, OutputOptions{true, false});
    session.SetWaitTimeout(60000);
    std::atomic<int> commandsDone{0};
    session.afterCommand = [&] {
        m_Machine.Settle();
        ++commandsDone;
    };
    std::thread runner([&] { session.RunAll(commands); });
    while (commandsDone.load() == 0)
        Pause(1);
    auto started = [&] {
        size_t count = 0;
        for (const machine::BusView& bus : m_Machine.View())
            for (const machine::ReaderView& reader : bus.readers)
                count += reader.started ? 1 : 0;
        return count;
    };
    EXPECT_EQ(started(), 1u);
    Pause(200); // inside the wait for reader 99, which never comes
    EXPECT_TRUE(session.Interrupt());
    runner.join();
    m_Machine.Settle();
    EXPECT_EQ(started(), 0u) << "the close removed the session's reader";
    EXPECT_EQ(commandsDone.load(), 1) << out.str();
    EXPECT_THAT(out.str(), Not(HasSubstr("\"Number\":2"))) << "no add after the interrupted wait";
    EXPECT_THAT(out.str(), HasSubstr("{\"type\":\"interrupted\""));
    EXPECT_EQ(session.ExitCode(), EXIT_INTERRUPTED);
    EXPECT_FALSE(session.Interrupt()) << "a second Ctrl+C finds the session stopping";
}

// A reader whose function driver fails AddDevice never starts: add --wait says so at once, with the
// problem code Device Manager would show, and the session goes on. The timeout is far longer than a
// start takes, so a wait that did not end early fails with the timeout's status.
TEST_F(HostSession, AddWaitReportsAReaderThatNeverStarts)
{
    simk::pnp::ChildFunctionDriverOptions failing;
    failing.hardwareId = MSDSC_UTF16(MSDSC_READER_HARDWARE_ID);
    failing.addDeviceStatus = STATUS_INSUFFICIENT_RESOURCES;
    simk::pnp::SetChildFunctionDriver(failing);
    m_WaitMs = 30000;
    const std::string out = Run("add 7 1 0 --wait\ndevices\nremove 0\n", true);
    // In JSON each backslash of the path is doubled.
    const std::string reader = READER_ID_IN_JSON + "\\\\\\\\([^ )\"]*&)?";
    EXPECT_THAT(out, ContainsRegex("\\{\"type\":\"error\",\"command\":\"add\",\"ok\":false,\"status\":\"0xC0000182\","
                                   "\"message\":\"[^\"]*code 31[^\"]*\",\"detail\":\"reader 0 \\(" +
                                   reader + "0\\) is present, not started, problem 31\"\\}"));
    EXPECT_THAT(out, ContainsRegex("\\{\"type\":\"device\",\"readerNumber\":0,\"instance\":\"" + reader +
                                   "0\",\"present\":true,\"started\":false,\"problem\":31,\"driver\":\"ChildFunction\","
                                   "\"stateReported\":true,\"thisSession\":true\\}"));
    // The reader the wait gave up on is the session's, and `remove` takes it by its number.
    EXPECT_THAT(out, HasSubstr("{\"type\":\"reply\",\"command\":\"remove\",\"ok\":true,\"readerNumber\":0,"));
    EXPECT_EQ(m_ExitCode, EXIT_COMMAND_FAILED);
}

// A bus pulled out mid-session takes its readers along; every later add --wait still names the
// reader it added (pairing readers with device nodes by counting named the wrong one, or none).
TEST_F(HostSession, AddWaitAfterABusIsPulledNamesItsOwnReader)
{
    std::ostringstream out;
    Session session(out, OutputOptions{true, false});
    session.SetWaitTimeout(5000);
    std::istringstream before("add 10 0 0 --wait\nadd 11 0 0 --wait\nadd 12 0 0 --wait\nadd 13 0 0 --wait\n");
    session.RunLines(before);
    simk::pnp::SurpriseRemoveDevice(m_Machine.Buses()[0]);
    m_Machine.Settle();
    std::istringstream after("add 20 0 0 --wait\nadd 21 0 0 --wait\nadd 22 0 0 --wait\nadd 23 0 0 --wait\n");
    session.RunLines(after);
    session.Close();
    unsigned started = 0, refused = 0;
    std::istringstream lines(out.str());
    for (std::string line; std::getline(lines, line);) {
        if (line.find("\"command\":\"add\"") == std::string::npos)
            continue;
        if (line.find("\"type\":\"error\"") != std::string::npos) {
            // The pulled bus's turn in the round-robin: refused by the driver, not a wait that failed.
            EXPECT_THAT(line, HasSubstr("\"status\":\"0xC0000184\"")) << line;
            ++refused;
            continue;
        }
        std::smatch match;
        ASSERT_TRUE(std::regex_search(line, match,
                                      std::regex("\"readerNumber\":(\\d+),.*\"handle\":\"[0-9a-f]{16}:([0-9a-f]{16})\","
                                                 "\"instance\":\"[^\"]*&(\\d+)\",\"started\":true")))
            << line;
        EXPECT_EQ(match[1].str(), match[3].str()) << "the wait named another reader: " << line;
        EXPECT_EQ(MsdscReaderHandleNumber(std::stoull(match[2].str(), nullptr, 16)), std::stoul(match[1].str()))
            << line;
        ++started;
    }
    EXPECT_GE(started, 6u) << out.str();
    EXPECT_EQ(started + refused, 8u) << out.str();
}

// devices and wait need no session: they run while another session holds the control device, and
// open nothing themselves.
TEST_F(HostSession, DevicesAndWaitRunWhileAnotherSessionHoldsTheControlDevice)
{
    std::ostringstream rigOut;
    Session rig(rigOut, OutputOptions{});
    std::istringstream adds("add 7 1 0 --wait\n");
    rig.RunLines(adds);
    ASSERT_TRUE(rig.IsOpen()) << rigOut.str();

    std::ostringstream out;
    Session second(out, OutputOptions{});
    std::istringstream commands("devices\nwait 0\nversion\n");
    second.RunLines(commands);
    EXPECT_FALSE(second.IsOpen());
    EXPECT_THAT(out.str(), ContainsRegex("1 reader device node\n  reader 0  [^ ]+  started  driver ChildFunction\n"));
    EXPECT_THAT(out.str(), HasSubstr("reader 0 is started"));
    EXPECT_THAT(out.str(), HasSubstr("error: open: another session holds the control device"));
    EXPECT_THAT(out.str(), Not(HasSubstr("opened the control device")));
    EXPECT_EQ(second.ExitCode(), EXIT_NO_DEVICE);
    rig.Close();
}

// ---- The host tool as a program ------------------------------------------------------------------

struct ProgramRun {
    int exitCode = -1;
    std::string output;
};

ProgramRun RunHostTool(const std::string& arguments, const std::string& input = "")
{
    const std::string command = (input.empty() ? std::string() : "printf '" + input + "' | ") +
                                std::string(MSDSCCTL_HOST) + " " + arguments + " 2>&1" +
                                (input.empty() ? " </dev/null" : "");
    ProgramRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return run;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof(buffer), pipe)) > 0;)
        run.output.append(buffer, n);
    const int status = pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

TEST(HostTool, CommandsFromArgumentsShowPlugAndPlayAndEndClean)
{
    const ProgramRun run = RunHostTool("--buses 2 version add 7 1 0 add 8 2 0 remove 0 list quit");
    EXPECT_EQ(run.exitCode, EXIT_OK) << run.output;
    EXPECT_THAT(run.output, HasSubstr("2 bus devices created"));
    EXPECT_THAT(run.output, HasSubstr("ROOT\\MicroSDSmartCardBus\\0001  Started"));
    EXPECT_THAT(run.output, ContainsRegex(READER_ID + "\\\\[0-9a-f&]+  Started  Number=8  Drive=2  Log=0  Exists=1"));
    EXPECT_THAT(run.output, Not(HasSubstr("VERIFIER")));
    // After the close the one reader left goes, and only it is shown.
    const size_t close = run.output.find("closed the control device");
    ASSERT_NE(close, std::string::npos);
    EXPECT_THAT(run.output.substr(close),
                ContainsRegex("^[^\n]+\n  plug and play: " + READER_ID + "\\\\([^ ]*&)?1  Removed\n$"));
}

TEST(HostTool, CommandsFromStandardInput)
{
    const ProgramRun run = RunHostTool("--json", "add 1 2 3\\nremove 9\\n");
    EXPECT_EQ(run.exitCode, EXIT_COMMAND_FAILED) << run.output;
    EXPECT_THAT(run.output, HasSubstr("\"Number\":1,\"Drive\":2,\"Log\":3,\"Exists\":1"));
    EXPECT_THAT(run.output, HasSubstr("this session added no reader 9"));
    EXPECT_THAT(run.output, HasSubstr("{\"type\":\"reply\",\"command\":\"close\",\"ok\":true,\"readersRemoved\":1}"))
        << "end of input closes the session";
}

TEST(HostTool, UsageErrorsRunNothing)
{
    for (const char* arguments : {"--buses 65 version", "--buses", "add 1 2", "version launch"}) {
        const ProgramRun run = RunHostTool(arguments);
        EXPECT_EQ(run.exitCode, EXIT_USAGE) << arguments << "\n" << run.output;
        EXPECT_THAT(run.output, Not(HasSubstr("opened the control device"))) << arguments;
    }
    // In the tool's name, with the usage after an option that lacks its value but not after a bad one.
    EXPECT_EQ(RunHostTool("--buses 65 version").output,
              "msdscctl-host: --buses takes a number from 0 to 64, not '65'\n");
    EXPECT_THAT(RunHostTool("--buses").output,
                StartsWith("msdscctl-host: --buses needs a value\nusage: msdscctl-host "));
    const ProgramRun missingImage = RunHostTool("--image /nonexistent/msdscbus.so version");
    EXPECT_EQ(missingImage.exitCode, EXIT_NO_DEVICE) << missingImage.output;
    EXPECT_THAT(missingImage.output, HasSubstr("cannot load /nonexistent/msdscbus.so"));
}

} // namespace
} // namespace msdsc::tool
