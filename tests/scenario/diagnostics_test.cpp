// What the driver tells a kernel debugger: a reader's life and the requests it refused, hidden by
// the default debug filter, shown once the filter asks for the driver's component, and never a
// kernel address.
#include "support/client_session.h"

#include <cstdio>
#include <string>

#include "simkernel/debug.h"

namespace {

using msdsc::testing::AddReader;
using msdsc::testing::HandleOf;
using msdsc::testing::RemoveReader;

using Diagnostics = msdsc::testing::WithOpenClient<1>;

std::vector<simk::debug::Message> DriverMessages()
{
    std::vector<simk::debug::Message> out;
    for (const simk::debug::Message& message : simk::debug::Messages()) {
        if (message.component == DPFLTR_IHVDRIVER_ID && message.text.rfind("msdscbus: ", 0) == 0) {
            out.push_back(message);
        }
    }
    return out;
}

// The index of the first message after `from` that contains `text`, or npos.
size_t Find(const std::vector<simk::debug::Message>& messages, const std::string& text, size_t from = 0)
{
    for (size_t i = from; i < messages.size(); ++i) {
        if (messages[i].text.find(text) != std::string::npos) return i;
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
    const PDEVICE_OBJECT pdo = simk::pnp::Pdo(simk::pnp::Children(BusNode(0))[0]);
    ASSERT_EQ(RemoveReader(m_Client, handle).status, STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    ASSERT_EQ(RemoveReader(m_Client, handle).status, STATUS_UNSUCCESSFUL);

    const std::vector<simk::debug::Message> messages = DriverMessages();
    const std::string reader = "reader " + std::to_string(handle.ReaderHandle & 0xFFFFFFFFull) + " ";
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

    // A healthy life is silent under the default filter, and no line gives a kernel address away.
    char address[32];
    std::snprintf(address, sizeof(address), "%llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(pdo)));
    for (const simk::debug::Message& message : messages) {
        EXPECT_FALSE(message.shown) << message.text;
        EXPECT_EQ(message.text.find(address), std::string::npos) << message.text;
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

}  // namespace
