// What the driver tells a kernel debugger: a reader's life and the requests it refused, hidden by
// the default debug filter, shown once the filter asks for the driver's component, and never a
// kernel address, neither in what a run printed nor in any format the driver's sources hold.
#include "support/client_session.h"
#include "support/driver_messages.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "simkernel/hooks.h"

#ifndef MSDSC_SOURCE_DIR
#error "the diagnostics tests read the driver's sources from MSDSC_SOURCE_DIR"
#endif

namespace {

using msdsc::testing::AddReader;
using msdsc::testing::DriverMessages;
using msdsc::testing::HandleOf;
using msdsc::testing::READER_HARDWARE_ID;
using msdsc::testing::RemoveReader;

using Diagnostics = msdsc::testing::WithOpenClient<1>;

// The index of the first message after `from` that contains `text`, or npos.
size_t Find(const std::vector<simk::debug::Message>& messages, const std::string& text, size_t from = 0)
{
    for (size_t i = from; i < messages.size(); ++i) {
        if (messages[i].text.find(text) != std::string::npos)
            return i;
    }
    return std::string::npos;
}

std::string Hex8(unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "%08X", value);
    return text;
}

TEST_F(Diagnostics, AReadersLifeAndTheRefusedRequestsAreToldAtTheirLevels)
{
    const msdsc::testing::Reply added = AddReader(m_Client, {1, 2, 3});
    ASSERT_EQ(added.status, STATUS_SUCCESS);
    const BusReaderHandle handle = HandleOf(added);
    simk::pnp::RunUntilIdle();
    ASSERT_EQ(simk::pnp::Children(BusNode(0)).size(), 1u);
    ASSERT_EQ(RemoveReader(m_Client, handle).status, STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    ASSERT_EQ(RemoveReader(m_Client, handle).status, STATUS_UNSUCCESSFUL);

    const std::vector<simk::debug::Message> messages = DriverMessages();
    const std::string reader = "reader " + std::to_string(MsdscReaderHandleNumber(handle.ReaderHandle)) + " ";
    size_t at = 0;
    for (const char* event : {"created on bus", "started", "left bus", "deleted"}) {
        at = Find(messages, reader + event, at);
        ASSERT_NE(at, std::string::npos) << "no \"" << reader << event << "\" in order";
        EXPECT_EQ(messages[at].level, static_cast<ULONG>(DPFLTR_INFO_LEVEL));
    }
    const size_t refused = Find(messages, "control code " + Hex8(IOCTL_BUS_REMOVE_READER) + " refused (" +
                                              Hex8(static_cast<unsigned>(STATUS_UNSUCCESSFUL)) +
                                              "): the handle names no reader of this load");
    ASSERT_NE(refused, std::string::npos);
    EXPECT_EQ(messages[refused].level, static_cast<ULONG>(DPFLTR_WARNING_LEVEL));

    // A healthy life is silent under the default filter.
    for (const simk::debug::Message& message : messages) {
        EXPECT_FALSE(message.shown) << message.text;
    }

    // With the driver's component asked for, the debugger sees them.
    simk::debug::SetComponentMask(DPFLTR_IHVDRIVER_ID, 0xF);
    simk::user::Handle second = nullptr;
    EXPECT_EQ(simk::user::OpenDevice(msdsc::testing::CONTROL_USER_PATH, &second), STATUS_SHARING_VIOLATION);
    const std::vector<simk::debug::Message> after = DriverMessages();
    const size_t open = Find(after, "open refused", messages.size());
    ASSERT_NE(open, std::string::npos);
    EXPECT_TRUE(after[open].shown);
}

// Every number a text holds in hex, whichever case, with or without "0x", padded or not.
std::vector<ULONG64> HexNumbersIn(const std::string& text)
{
    std::vector<ULONG64> numbers;
    for (size_t i = 0; i < text.size();) {
        size_t end = i;
        while (end < text.size() && std::isxdigit(static_cast<unsigned char>(text[end])))
            ++end;
        if (end == i) {
            ++i;
            continue;
        }
        // A longer run holds an address in its last sixteen digits as much as in a shorter one.
        const size_t from = end - i > 16 ? end - 16 : i;
        numbers.push_back(std::stoull(text.substr(from, end - from), nullptr, 16));
        i = end;
    }
    return numbers;
}

// Every life event and refusal a run can print, with the address of every device object and
// extension the run made (the driver's, Plug and Play's, the function driver's) looked for in each.
TEST_F(Diagnostics, NoMessageCarriesAnAddressOfTheRun)
{
    std::mutex lock;
    std::set<ULONG64> addresses;
    const auto collect = [&](PDRIVER_OBJECT driver) {
        std::lock_guard<std::mutex> guard(lock);
        for (PDEVICE_OBJECT device : simk::DevicesOfDriver(driver)) {
            addresses.insert(reinterpret_cast<ULONG_PTR>(device));
            addresses.insert(reinterpret_cast<ULONG_PTR>(device->DeviceExtension));
        }
    };
    collect(Driver());
    collect(simk::pnp::RootBusDriver());
    const simk::hooks::Hook created(
        simk::hooks::At(simk::Call::IoCreateDevice, simk::When::After, 0),
        [&](const simk::CallSite& site) { collect(static_cast<PDRIVER_OBJECT>(const_cast<void*>(site.object))); });
    simk::pnp::ChildFunctionDriverOptions functionDriver;
    functionDriver.hardwareId = READER_HARDWARE_ID;
    simk::pnp::SetChildFunctionDriver(functionDriver);

    const BusReaderHandle first = HandleOf(AddReader(m_Client, {1, 2, 3}));
    ASSERT_EQ(AddReader(m_Client, {4, 5, 6}).status, STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    ASSERT_EQ(RemoveReader(m_Client, first).status, STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(RemoveReader(m_Client, first).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(msdsc::testing::Request(m_Client, msdsc::testing::UNASSIGNED_CONTROL_CODE, nullptr, 0, 0).status,
              STATUS_INVALID_DEVICE_REQUEST);
    simk::user::Handle refused = nullptr;
    EXPECT_EQ(simk::user::OpenDevice(msdsc::testing::CONTROL_USER_PATH, &refused), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(simk::pnp::RemoveDevice(BusNode(0)), STATUS_UNSUCCESSFUL) << "vetoed: a reader is on it";

    // The bus is pulled while a handle on the other reader's stack holds its final removal back.
    const std::vector<simk::pnp::DeviceNode*> readers = simk::pnp::Children(BusNode(0));
    ASSERT_EQ(readers.size(), 1u);
    simk::user::Handle onReader = nullptr;
    ASSERT_EQ(simk::user::OpenDeviceObject(simk::pnp::Pdo(readers[0]), &onReader), STATUS_SUCCESS);
    simk::pnp::SurpriseRemoveDevice(BusNode(0));
    simk::pnp::RunUntilIdle();
    ASSERT_EQ(simk::user::Close(onReader), STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    ASSERT_EQ(simk::pnp::State(readers[0]), simk::pnp::NodeState::Removed);

    const std::vector<simk::debug::Message> messages = DriverMessages();
    for (const char* line : {"bus 0 added", "bus 0 started", "created on bus", "started", "left bus", "deleted",
                             "refused", "vetoed", "surprise-removed", "outlives bus", "bus 0 removed"}) {
        EXPECT_NE(Find(messages, line), std::string::npos) << "the run printed no \"" << line << "\"";
    }
    std::lock_guard<std::mutex> guard(lock);
    ASSERT_GT(addresses.size(), 10u);
    for (const simk::debug::Message& message : messages) {
        for (ULONG64 number : HexNumbersIn(message.text)) {
            EXPECT_EQ(addresses.count(number), 0u) << "an address in \"" << message.text << "\"";
        }
    }
}

// The narrow string literals of a C++ source, with comments and character literals passed over.
std::vector<std::string> StringLiterals(const std::string& source)
{
    std::vector<std::string> literals;
    for (size_t i = 0; i < source.size(); ++i) {
        if (source.compare(i, 2, "//") == 0) {
            i = std::min(source.find('\n', i), source.size());
        } else if (source.compare(i, 2, "/*") == 0) {
            i = std::min(source.find("*/", i + 2), source.size()) + 1;
        } else if (source[i] == '"' || source[i] == '\'') {
            const char quote = source[i];
            const bool wide = i > 0 && std::strchr("LuU8", source[i - 1]) != nullptr;
            std::string text;
            for (++i; i < source.size() && source[i] != quote; ++i) {
                if (source[i] == '\\')
                    text += source[i++];
                text += source[i];
            }
            if (quote == '"' && !wide)
                literals.push_back(text);
        }
    }
    return literals;
}

// A pointer printed with %p, or an address cast to a 64-bit number and printed in hex, would show
// in a debugger that only the running test looks at; the source says so for every build.
TEST(DiagnosticFormats, HoldNoPointerAndNoSixtyFourBitHexConversion)
{
    const std::regex conversion(R"(%[-+ #0]*(\*|[0-9]+)?(\.(\*|[0-9]+))?(hh|h|ll|l|I64|I32|I|z|j|t|L|w)?([A-Za-z%]))");
    size_t files = 0;
    size_t conversions = 0;
    for (const char* folder : {"entry", "driver", "registry", "control", "bus", "reader"}) {
        for (const auto& file : std::filesystem::directory_iterator(std::filesystem::path(MSDSC_SOURCE_DIR) / folder)) {
            std::ifstream in(file.path());
            std::stringstream source;
            source << in.rdbuf();
            ++files;
            for (const std::string& literal : StringLiterals(source.str())) {
                for (std::sregex_iterator it(literal.begin(), literal.end(), conversion), end; it != end; ++it) {
                    const std::string length = (*it)[4];
                    const char type = (*it)[5].str()[0];
                    if (type == '%')
                        continue;
                    ++conversions;
                    const bool wideHex = (type == 'x' || type == 'X') && !length.empty() && length != "h" &&
                                         length != "hh" && length != "I32";
                    EXPECT_FALSE(type == 'p' || wideHex)
                        << file.path().filename().string() << ": \"" << literal << "\" prints " << it->str();
                }
            }
        }
    }
    EXPECT_GT(files, 10u);
    EXPECT_GT(conversions, 10u) << "the check found the driver's formats";
}

} // namespace
